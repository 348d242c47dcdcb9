#include "framework/Accessible.h"

#include <oleacc.h>

#include <atomic>
#include <new>
#include <utility>

#include "framework/SystemLibrary.h"

namespace {

// IAccessible's interface id, spelled out: the one MinGW's static libraries supply does
// not match the system's.
constexpr GUID kIidAccessible = {
    0x618736E0, 0x3C3D, 0x11CF, {0x81, 0x0C, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};

bool IsSelf(const VARIANT& child) {
    return child.vt == VT_I4 && child.lVal == CHILDID_SELF;
}

// A text as a new BSTR for the caller.
HRESULT ReturnText(const std::wstring& text, BSTR* out) {
    if (!out)
        return E_POINTER;
    *out = ::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return *out ? S_OK : E_OUTOFMEMORY;
}

// The platform's standard object for a window with our texts in front of it. Questions
// about the window itself whose text (or role) is set are answered from the shared
// texts; everything else goes to the standard object. It keeps oleacc loaded for as long
// as it holds the standard object, whose code lives there.
class CTextedAccessible final : public IAccessible {
public:
    CTextedAccessible(std::shared_ptr<const CSystemLibrary> oleacc, IAccessible* standard,
                      std::shared_ptr<const AccessibleTexts> texts)
        : m_pOleacc(std::move(oleacc)), m_pStandard(standard), m_pTexts(std::move(texts)) {}
    ~CTextedAccessible() { m_pStandard->Release(); }
    CTextedAccessible(const CTextedAccessible&) = delete;
    CTextedAccessible& operator=(const CTextedAccessible&) = delete;

    // IUnknown. The window and enumeration interfaces are the standard object's.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (!out)
            return E_POINTER;
        if (iid == IID_IUnknown || iid == IID_IDispatch || iid == kIidAccessible) {
            *out = static_cast<IAccessible*>(this);
            AddRef();
            return S_OK;
        }
        if (iid == IID_IOleWindow || iid == IID_IEnumVARIANT)
            return m_pStandard->QueryInterface(iid, out);
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_nRefs; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --m_nRefs;
        if (left == 0)
            delete this;
        return left;
    }

    // IDispatch: the standard object's.
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
        return m_pStandard->GetTypeInfoCount(count);
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override {
        return m_pStandard->GetTypeInfo(index, lcid, info);
    }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID lcid,
                                            DISPID* ids) override {
        return m_pStandard->GetIDsOfNames(iid, names, count, lcid, ids);
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID iid, LCID lcid, WORD flags,
                                     DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception,
                                     UINT* argError) override {
        return m_pStandard->Invoke(id, iid, lcid, flags, params, result, exception, argError);
    }

    // IAccessible: our texts and role where set.
    HRESULT STDMETHODCALLTYPE get_accName(VARIANT child, BSTR* out) override {
        return Text(&AccessibleTexts::name, child, out, &IAccessible::get_accName);
    }
    HRESULT STDMETHODCALLTYPE get_accValue(VARIANT child, BSTR* out) override {
        return Text(&AccessibleTexts::value, child, out, &IAccessible::get_accValue);
    }
    HRESULT STDMETHODCALLTYPE get_accDescription(VARIANT child, BSTR* out) override {
        return Text(&AccessibleTexts::description, child, out, &IAccessible::get_accDescription);
    }
    HRESULT STDMETHODCALLTYPE get_accRole(VARIANT child, VARIANT* out) override {
        LONG role = 0;
        {
            std::lock_guard<std::mutex> lock(m_pTexts->lock);
            role = m_pTexts->role;
        }
        if (!IsSelf(child) || role == 0)
            return m_pStandard->get_accRole(child, out);
        if (!out)
            return E_POINTER;
        out->vt = VT_I4;
        out->lVal = role;
        return S_OK;
    }

    // IAccessible: the standard object's.
    HRESULT STDMETHODCALLTYPE get_accParent(IDispatch** out) override {
        return m_pStandard->get_accParent(out);
    }
    HRESULT STDMETHODCALLTYPE get_accChildCount(LONG* out) override {
        return m_pStandard->get_accChildCount(out);
    }
    HRESULT STDMETHODCALLTYPE get_accChild(VARIANT child, IDispatch** out) override {
        return m_pStandard->get_accChild(child, out);
    }
    HRESULT STDMETHODCALLTYPE get_accState(VARIANT child, VARIANT* out) override {
        return m_pStandard->get_accState(child, out);
    }
    HRESULT STDMETHODCALLTYPE get_accHelp(VARIANT child, BSTR* out) override {
        return m_pStandard->get_accHelp(child, out);
    }
    HRESULT STDMETHODCALLTYPE get_accHelpTopic(BSTR* file, VARIANT child, LONG* topic) override {
        return m_pStandard->get_accHelpTopic(file, child, topic);
    }
    HRESULT STDMETHODCALLTYPE get_accKeyboardShortcut(VARIANT child, BSTR* out) override {
        return m_pStandard->get_accKeyboardShortcut(child, out);
    }
    HRESULT STDMETHODCALLTYPE get_accFocus(VARIANT* out) override {
        return m_pStandard->get_accFocus(out);
    }
    HRESULT STDMETHODCALLTYPE get_accSelection(VARIANT* out) override {
        return m_pStandard->get_accSelection(out);
    }
    HRESULT STDMETHODCALLTYPE get_accDefaultAction(VARIANT child, BSTR* out) override {
        return m_pStandard->get_accDefaultAction(child, out);
    }
    HRESULT STDMETHODCALLTYPE accSelect(LONG flags, VARIANT child) override {
        return m_pStandard->accSelect(flags, child);
    }
    HRESULT STDMETHODCALLTYPE accLocation(LONG* left, LONG* top, LONG* width, LONG* height,
                                          VARIANT child) override {
        return m_pStandard->accLocation(left, top, width, height, child);
    }
    HRESULT STDMETHODCALLTYPE accNavigate(LONG direction, VARIANT start, VARIANT* out) override {
        return m_pStandard->accNavigate(direction, start, out);
    }
    HRESULT STDMETHODCALLTYPE accHitTest(LONG x, LONG y, VARIANT* out) override {
        return m_pStandard->accHitTest(x, y, out);
    }
    HRESULT STDMETHODCALLTYPE accDoDefaultAction(VARIANT child) override {
        return m_pStandard->accDoDefaultAction(child);
    }
    HRESULT STDMETHODCALLTYPE put_accName(VARIANT child, BSTR name) override {
        return m_pStandard->put_accName(child, name);
    }
    HRESULT STDMETHODCALLTYPE put_accValue(VARIANT child, BSTR value) override {
        return m_pStandard->put_accValue(child, value);
    }

private:
    using StandardText = HRESULT (STDMETHODCALLTYPE IAccessible::*)(VARIANT, BSTR*);

    HRESULT Text(std::wstring AccessibleTexts::*field, VARIANT child, BSTR* out,
                 StandardText standard) {
        std::wstring text;
        if (IsSelf(child)) {
            std::lock_guard<std::mutex> lock(m_pTexts->lock);
            text = (*m_pTexts).*field;
        }
        if (text.empty())
            return (m_pStandard->*standard)(child, out);
        return ReturnText(text, out);
    }

    std::atomic<ULONG> m_nRefs{1};
    const std::shared_ptr<const CSystemLibrary> m_pOleacc; // outlives m_pStandard
    IAccessible* const m_pStandard;                        // owned: one reference
    const std::shared_ptr<const AccessibleTexts> m_pTexts;
};

} // namespace

CAccessible::CAccessible(const HWND& window) : m_hWnd(window) {}

CAccessible::~CAccessible() {
    if (m_nApartmentThread && m_nApartmentThread == ::GetCurrentThreadId())
        ::CoUninitialize();
}

void CAccessible::Change(std::wstring AccessibleTexts::*field, const std::wstring& text,
                         DWORD event) {
    {
        std::lock_guard<std::mutex> lock(m_pTexts->lock);
        if ((*m_pTexts).*field == text)
            return;
        (*m_pTexts).*field = text;
    }
    if (m_hWnd)
        ::NotifyWinEvent(event, m_hWnd, OBJID_CLIENT, CHILDID_SELF);
}

void CAccessible::SetName(const std::wstring& name) {
    Change(&AccessibleTexts::name, name, EVENT_OBJECT_NAMECHANGE);
}

void CAccessible::SetValue(const std::wstring& value) {
    Change(&AccessibleTexts::value, value, EVENT_OBJECT_VALUECHANGE);
}

void CAccessible::SetDescription(const std::wstring& description) {
    Change(&AccessibleTexts::description, description, EVENT_OBJECT_DESCRIPTIONCHANGE);
}

void CAccessible::SetRole(LONG role) {
    std::lock_guard<std::mutex> lock(m_pTexts->lock);
    m_pTexts->role = role;
}

std::wstring CAccessible::Name() const {
    std::lock_guard<std::mutex> lock(m_pTexts->lock);
    return m_pTexts->name;
}

std::wstring CAccessible::Value() const {
    std::lock_guard<std::mutex> lock(m_pTexts->lock);
    return m_pTexts->value;
}

std::wstring CAccessible::Description() const {
    std::lock_guard<std::mutex> lock(m_pTexts->lock);
    return m_pTexts->description;
}

LRESULT CAccessible::Answer(WPARAM wParam, LPARAM lParam) {
    if (static_cast<LONG>(static_cast<DWORD>(lParam)) != OBJID_CLIENT || !m_hWnd)
        return 0;
    // The answer is an interface marshalled from this thread's apartment; a thread that
    // is in none enters a single-threaded one, so questions from elsewhere come to this
    // window's thread through its messages.
    if (!m_nApartmentThread) {
        const HRESULT entered = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        if (SUCCEEDED(entered))
            m_nApartmentThread = ::GetCurrentThreadId();
        else if (entered != RPC_E_CHANGED_MODE)
            return 0;
    }
    if (!m_pOleacc)
        m_pOleacc = std::make_shared<const CSystemLibrary>(L"oleacc.dll");
    using CreateStandardFn = HRESULT(WINAPI*)(HWND, LONG, REFIID, void**);
    using LresultFromObjectFn = LRESULT(WINAPI*)(REFIID, WPARAM, LPUNKNOWN);
    const auto createStandard = m_pOleacc->Function<CreateStandardFn>("CreateStdAccessibleObject");
    const auto lresultFromObject = m_pOleacc->Function<LresultFromObjectFn>("LresultFromObject");
    if (!createStandard || !lresultFromObject)
        return 0;

    IAccessible* standard = nullptr;
    if (FAILED(createStandard(m_hWnd, OBJID_CLIENT, kIidAccessible,
                              reinterpret_cast<void**>(&standard))) ||
        !standard)
        return 0;
    // Takes over the standard object's reference; released with our one reference below,
    // after LresultFromObject has taken its own.
    auto* answer = new (std::nothrow) CTextedAccessible(m_pOleacc, standard, m_pTexts);
    if (!answer) {
        standard->Release();
        return 0;
    }
    const LRESULT result = lresultFromObject(kIidAccessible, wParam, answer);
    answer->Release();
    return FAILED(result) ? 0 : result;
}
