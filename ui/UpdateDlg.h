// CUpdateDlg: the tool's one window. A captionless dialog (template IDD_MAIN) of
// 420 x 327 pixels drawn from bitmaps: device and version panels, the update,
// minimise and close buttons, a progress bar and the instructions. On a monitor of
// another display scale every place, size, font and picture is the skin's at that scale
// (m_Scale), and a move to another scale lays it out again. It owns the device
// object, the skinned controls and the members of the update session, searches for
// the receiver at start and on every device-change notification, and runs the link
// workers that talk to the receiver.
//
// The class is implemented in several files, each owning one concern:
//   ui/UpdateDlg.cpp          the window: construction, skin, looks, device changes, keys,
//                             prompts
//   update/FirmwareImage.cpp  BeginFirmwareUpdate (choosing and confirming an image)
//   update/UpdateSession.cpp  DispatchReply and the session behind it, close button, timer
//   link/LinkWorkers.cpp      the listen and update workers
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "framework/Afx.h"
#include "link/Hid.h"
#include "ui/BitmapProgress.h"
#include "ui/ButtonEx.h"
#include "ui/PromptDlg.h"
#include "ui/SkinScale.h"
#include "link/FirmwareHeader.h"

class CUpdateDlg : public CDialog, public IForegroundWindow {
public:
    explicit CUpdateDlg(CWnd* pParent = nullptr);
    ~CUpdateDlg() override;

    // Shows text in the skinned prompt over this window and returns its result
    // (PROMPT_OK: one button; PROMPT_OKCANCEL: OK and Cancel; 2 means Cancel).
    virtual int ShowPrompt(std::wstring text, int style);

    // The window's looks.
    void SetupSkin();
    void ApplyBackground();
    void SetConnected(bool connected);
    void EnableUpdateButton(bool enable);
    void RefreshDeviceState();
    bool IsForeground() override;
    BOOL OnDeviceChange(UINT nEventType, DWORD_PTR dwData);

    // Link workers (one at a time).
    void StartListenThread();
    void StartUpdateThread();
    bool IsWorkerRunning() const { return m_bWorkerRunning; }
    bool IsUpdateRunning() const { return m_bUpdateRunning; }
    // The running worker is asked to leave its loop (the window is going, or an update
    // replaces the listen worker).
    bool WorkerStopRequested() const { return m_bStopWorker; }
    // The receiver the running worker talks to has been removed (a removal notification
    // after which no receiver was found).
    bool ReceiverRemoved() const { return m_bReceiverRemoved; }

    // Update session: every frame the workers receive comes in here.
    void DispatchReply(const BYTE* frame, USHORT count);
    void OnLinkReply(const BYTE* body);
    int BeginFirmwareUpdate();
    void FinishUpdate();
    void StopUpdate();
    void OnUpdateFailed();
    void OnCloseButton();
    void OnTimer(UINT_PTR nIDEvent);

    // The version text as last written by the session (thread-safe copy).
    std::wstring VersionText() const;

    CHid m_Hid;

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    BOOL PreTranslateMessage(MSG* pMsg) override;
    BOOL OnInitDialog() override;

    void OnPaint();
    HBRUSH OnCtlColor(CDC* pDC, CWnd* pWnd, UINT nCtlColor);
    HCURSOR OnQueryDragIcon();
    void OnLButtonDown(UINT flags, POINT point);
    BOOL OnEraseBkgnd(CDC*) { return TRUE; }
    void OnDestroy();
    LRESULT OnDpiChanged(UINT dpi, const RECT* suggested);
    void OnMinimizeButton();
    void OnUpdateButton() { StartUpdateThread(); }
    void ShowConnectedLook();

    // Layout at m_Scale: the window's size at a screen position; buttons, bar, labels
    // and panels; the label fonts; the pictures of the background and of the panels.
    void PlaceWindow(int left, int top);
    void LayOutSkin();
    void ApplyFonts();
    void ShowBackground();
    void ShowPanels();
    LRESULT OnRefreshDeviceState(WPARAM, LPARAM);
    DECLARE_MESSAGE_MAP()

    // Session helpers (update/UpdateSession.cpp).
    void OnDataRequest();
    void SetVersionText(const std::wstring& text);
    void SetProgress(int pos) { m_Progress.SetPos(pos); }
    void ResetSession();

    // Worker helpers (link/LinkWorkers.cpp).
    void StopWorkers();
    void LaunchWorker(unsigned (*body)(), bool isUpdate);
    LRESULT OnStartSessionTimer(WPARAM, LPARAM);
    LRESULT OnWorkerEnded(WPARAM, LPARAM);

    std::unique_ptr<CButtonEx> m_pBtnClose;
    std::unique_ptr<CButtonEx> m_pBtnMinimize;
    std::unique_ptr<CButtonEx> m_pBtnUpdate;
    CBitmapProgress m_Progress;
    CStatic m_VersionLabel;
    CStatic m_GuideLabel;
    CStatic m_Background;
    CStatic m_DevicePanel;
    CStatic m_VersionPanel;
    RECT m_rcMinimize{};
    RECT m_rcClose{};
    RECT m_rcUpdate{};
    bool m_bConnected = false;
    HICON m_hIcon = nullptr;
    CSkinScale m_Scale;                // the display scale the window is laid out at
    UINT m_nTemplateDpi = kDefaultDpi; // the DPI the template's font was made for
    CFont m_GuideFont;
    CFont m_VersionFont;
    CBrush m_brBody;  // label background while connected, and the instructions'
    CBrush m_brPanel; // version label background while not connected

    // Update session (update/).
    std::wstring m_FirmwarePath;
    FirmwareHeader m_Header{};
    FirmwareHeader m_SendHeader{};
    uint32_t m_nVersion = 0;
    uint32_t m_nTotalLength = 0;
    uint32_t m_nSentLength = 0;
    FILE* m_pFirmwareFile = nullptr;
    BYTE m_Block[32]{};
    std::wstring m_VersionText;
    mutable std::mutex m_VersionTextLock;

    // Link workers (link/LinkWorkers.cpp).
    std::thread m_Worker;
    std::atomic<bool> m_bWorkerRunning{false};
    std::atomic<bool> m_bUpdateRunning{false}; // the running worker is the update worker
    std::atomic<bool> m_bStopWorker{false};
    std::atomic<bool> m_bReceiverRemoved{false};
    std::atomic<DWORD> m_nWorkerThreadId{0};
    bool m_bListenPending = false; // a receiver arrived while a worker ran (window's thread)
};

// The one main window, for the workers, the framing and the session.
extern CUpdateDlg* g_pMainWindow;

// Private window messages.
constexpr UINT WM_KX_REFRESH_DEVICE = WM_APP + 1; // RefreshDeviceState on the window's thread
constexpr UINT WM_KX_SESSION_TIMER = WM_APP + 2;  // start timer 1 at 100 ms (first data block)
constexpr UINT WM_KX_WORKER_ENDED = WM_APP + 3;   // a link worker has ended
