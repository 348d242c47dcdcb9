// CAccessible: what one window tells a screen reader beyond what the platform's standard
// accessible object says of it. A window drawn from pictures shows its meaning only in
// pixels; this gives it a name, a value, a description and a role in words.
//
// The window answers WM_GETOBJECT for its client area with the platform's standard object
// (oleacc's CreateStdAccessibleObject) wrapped in a small object of ours that answers the
// name, value, description and role set here and passes every other question on. Texts
// left empty (role 0) keep the standard answer. The texts are shared with every object
// handed out, so a screen reader that keeps one hears the current texts, and each change
// is announced with the matching event. Setters may be called from any thread.
//
// Use: CWnd::Accessible() makes one for a window on first use; the window's message
// routing then answers through it. Answer needs the window's thread to be in a COM
// apartment: it enters a single-threaded one the first time (and leaves it when the object
// goes, on that thread), because the answer is a marshalled interface.
#pragma once

#include <windows.h>

#include <memory>
#include <mutex>
#include <string>

class CSystemLibrary;

// The texts a window's accessible objects answer with; shared between the window's
// CAccessible and every object handed out, guarded by its own lock.
struct AccessibleTexts {
    mutable std::mutex lock;
    std::wstring name;
    std::wstring value;
    std::wstring description;
    LONG role = 0; // an oleacc ROLE_SYSTEM_* value, or 0 for the standard object's
};

class CAccessible {
public:
    explicit CAccessible(const HWND& window);
    ~CAccessible();
    CAccessible(const CAccessible&) = delete;
    CAccessible& operator=(const CAccessible&) = delete;

    void SetName(const std::wstring& name);
    void SetValue(const std::wstring& value);
    void SetDescription(const std::wstring& description);
    void SetRole(LONG role);

    std::wstring Name() const;
    std::wstring Value() const;
    std::wstring Description() const;

    // The answer to WM_GETOBJECT (on the window's thread): for OBJID_CLIENT, our object
    // as LresultFromObject makes it; 0 for other objects, or when it cannot be made, so
    // the system answers with its own.
    LRESULT Answer(WPARAM wParam, LPARAM lParam);

private:
    // Stores a text and announces the change when it is one.
    void Change(std::wstring AccessibleTexts::*field, const std::wstring& text, DWORD event);

    const HWND& m_hWnd; // the window's handle as its object holds it
    std::shared_ptr<AccessibleTexts> m_pTexts = std::make_shared<AccessibleTexts>();
    std::shared_ptr<const CSystemLibrary> m_pOleacc; // loaded at the first answer
    DWORD m_nApartmentThread = 0; // the thread that entered a COM apartment for us, or 0
};
