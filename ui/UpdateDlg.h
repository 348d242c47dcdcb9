// CUpdateDlg: the tool's one window. A captionless dialog (template IDD_MAIN) of
// 420 x 327 pixels drawn from bitmaps: device and version panels, the update,
// minimise and close buttons, a progress bar and the instructions. On a monitor of
// another display scale every place, size, font and picture is the skin's at that scale
// (m_Scale), and a move to another scale lays it out again. It owns the device
// object and the skinned controls, searches for the receiver at start and on every
// device-change notification, runs the link workers that talk to the receiver, and
// shows what an update session (update/UpdateSession.h) asks it to show.
//
// The class is implemented in two files:
//   ui/UpdateDlg.cpp         the window: construction, skin, looks, device changes, keys,
//                            closing, prompts and the rest of what a session shows
//   ui/UpdateDlgWorkers.cpp  the listen and update workers, one at a time on m_Worker,
//                            and the teardown that shuts it down once
//   ui/UpdateDlgHistory.cpp  the update history: a record for every update started
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "framework/Afx.h"
#include "link/Hid.h"
#include "link/UniqueKernelHandle.h"
#include "ui/BitmapProgress.h"
#include "ui/ButtonEx.h"
#include "ui/HighContrast.h"
#include "ui/LinkWorker.h"
#include "ui/PromptDlg.h"
#include "ui/SkinScale.h"
#include "update/SessionView.h"
#include "update/UpdateHistory.h"
#include "update/UpdateSession.h"

class CUpdateDlg : public CDialog, public IForegroundWindow, public ISessionView {
public:
    // The window's timers: the mode-switch request every second, and the wait for the
    // version a receiver reports after an update.
    static constexpr UINT_PTR kModeSwitchTimer = 1;
    static constexpr UINT_PTR kHistoryTimer = 2;

    explicit CUpdateDlg(CWnd* pParent = nullptr);
    ~CUpdateDlg() override;

    // ISessionView. ShowPrompt shows text in the skinned prompt over this window and
    // returns its result (PROMPT_OK: one button; PROMPT_OKCANCEL: OK and Cancel; 2 means
    // Cancel); ChooseImage opens the file chooser over it.
    int ShowPrompt(std::wstring text, int style) override;
    bool ChooseImage(std::wstring* path) override;
    void SetProgress(int percent) override;
    void SetVersionText(const std::wstring& text) override;
    void EnableUpdateButton(bool enable) override;
    void UpdateEnded() override;
    void UpdateConfirmed() override;

    // The window's looks.
    void SetupSkin();
    // What screen readers say of the buttons, panels and bar: their names in the user's
    // language, and the version text with what it is.
    void NameControls();
    void NameVersion(const std::wstring& text);
    // High contrast: the window follows the system's setting at start and whenever the
    // system's colours or settings change, drawing in the system's colours (texts, the
    // device state in words, text buttons, the bar) or, when it goes off, the skin again.
    // The setting is read through `query` (the system's, unless replaced before the window
    // starts).
    void SetHighContrastQuery(std::function<bool()> query) {
        m_HighContrastQuery = std::move(query);
    }
    bool HighContrast() const { return m_bHighContrast; }
    void ApplyBackground();
    void SetConnected(bool connected);
    void RefreshDeviceState();
    bool IsForeground() override;
    BOOL OnDeviceChange(UINT nEventType, DWORD_PTR dwData);

    // Link workers (one at a time).
    void StartListenThread();
    void StartUpdateThread();
    // The link workers run on `thread` (which outlives the window) instead of a thread of
    // the window's own. Before the window starts.
    void RunWorkersOn(CWorkerThread& thread) { m_Worker.RunOn(thread); }
    bool IsWorkerRunning() const { return m_Worker.Running(); }
    bool IsUpdateRunning() const { return m_Worker.RunningUpdate(); }
    // The update running now, or the one that ran last, until the next starts (window's
    // thread; null before the first).
    const CUpdateSession* Session() const { return m_pCurrentSession.load(); }
    // The reply deadline given to every session this window starts.
    void SetReplyDeadline(DWORD milliseconds) { m_nReplyDeadlineMs = milliseconds; }
    // Where the window keeps the update history (the user's, unless set before it opens).
    void SetHistoryPath(const std::wstring& path) { m_HistoryPath = path; }
    // At start, the window marks in the history the updates that never ended, and tells
    // the user once of the last of them and of the dump an earlier crash left (crashDump,
    // empty for none), in one prompt. The tool itself asks for this; tests and tools that
    // open window after window do not. Before the window starts.
    void TellAtStart(const std::wstring& crashDump) {
        m_bTellAtStart = true;
        m_CrashDump = crashDump;
    }

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
    BOOL OnEraseBkgnd(CDC* pDC);
    LRESULT OnSystemChange(WPARAM, LPARAM);
    void FollowContrast();
    void ApplyContrast(bool on);
    // The texts the skin's pictures hold, drawn in the system's colours.
    void PaintHighContrast();
    void OnClose();
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
    LRESULT OnQueryEndSession(WPARAM, LPARAM);
    LRESULT OnEndSession(WPARAM ending, LPARAM);
    LRESULT OnUpdateEnded(WPARAM, LPARAM);
    LRESULT OnUpdateConfirmed(WPARAM, LPARAM);
    // The updates that never ended are marked in the history, and what the window tells
    // at start is made ready (ui/UpdateDlgHistory.cpp).
    void PrepareStartNotice();
    LRESULT OnTellAtStart(WPARAM, LPARAM);
    DECLARE_MESSAGE_MAP()

    // What is at stake: an image is being sent, from the confirmation until the finish
    // has been written. Only then do closing and log-off ask or wait.
    bool Sending() const { return m_pSession && m_pSession->Updating(); }
    // The reason shown to a log-off goes as soon as nothing is at stake (window's thread).
    void ReleaseShutdownBlock();
    bool OnWindowThread() const;

    // Worker helpers (ui/UpdateDlgWorkers.cpp). TearDown runs once, when the window begins
    // to close (or the session ends): it stops and waits for the worker, within a bound.
    LRESULT OnWorkerEnded(WPARAM, LPARAM);
    void TearDown();
    // A worker talks to the receiver now: the window's thread must not.
    bool ReceiverBusy() const { return IsWorkerRunning(); }

    // Update history (ui/UpdateDlgHistory.cpp). A record is begun at the Update button,
    // completed from the session once its worker has ended, and written then, or for a
    // success once the receiver reports its version after the reboot (within a minute).
    void BeginRecord();
    void CompleteRecord();
    void WriteRecord();
    void OnVersionAfterUpdate();

    std::unique_ptr<CButtonEx> m_pBtnClose;
    std::unique_ptr<CButtonEx> m_pBtnMinimize;
    std::unique_ptr<CButtonEx> m_pBtnUpdate;
    CBitmapProgress m_Progress;
    std::atomic<int> m_nProgressPos{0}; // the bar's position, as last set through SetProgress
    CStatic m_VersionLabel;
    CStatic m_GuideLabel;
    CStatic m_Background;
    CStatic m_DevicePanel;
    CStatic m_VersionPanel;
    RECT m_rcMinimize{};
    RECT m_rcClose{};
    RECT m_rcUpdate{};
    bool m_bConnected = false;
    wchar_t m_nUpdateKey = 0; // the update button's access key, upper-case
    std::function<bool()> m_HighContrastQuery = SystemHighContrast;
    std::atomic<bool> m_bHighContrast{false}; // read by prompts a worker shows
    bool m_bPanelsShown = false;              // the device panel has shown a look
    HICON m_hIcon = nullptr;
    CSkinScale m_Scale;                // the display scale the window is laid out at
    UINT m_nTemplateDpi = kDefaultDpi; // the DPI the template's font was made for
    CFont m_GuideFont;
    CFont m_VersionFont;
    CBrush m_brBody;  // label background while connected, and the instructions'
    CBrush m_brPanel; // version label background while not connected

    std::wstring m_VersionText;
    mutable std::mutex m_VersionTextLock;
    bool m_bAskingToClose = false;        // the abort question is open (window's thread)
    std::optional<UpdateRecord> m_Record; // the last update's, until written (window's thread)
    std::wstring m_HistoryPath = UpdateHistoryPath();
    bool m_bRecordComplete = false;
    ULONGLONG m_nUpdateStartedAt = 0;
    // Held from the confirmation until the update's last record is written: no copy of
    // the tool starting meanwhile takes the update for one that never ended.
    UniqueKernelHandle m_hRunningMark;
    bool m_bTellAtStart = false;
    std::wstring m_CrashDump;    // an earlier crash's dump, to tell of at start
    std::wstring m_StartNotice;  // what the window tells at start
    bool m_bShutdownBlocked = false;

    // Link workers (ui/UpdateDlgWorkers.cpp).
    std::unique_ptr<CUpdateSession> m_pSession;
    std::atomic<const CUpdateSession*> m_pCurrentSession{nullptr}; // m_pSession, for any thread
    CVersionListener m_VersionListener{*this};
    std::atomic<DWORD> m_nReplyDeadlineMs{CUpdateSession::kReplyDeadlineMs};
    // A receiver arrived, or asks to switch modes, while a worker ran: searched for again
    // once the worker has ended (window's thread).
    bool m_bSearchPending = false;
    bool m_bClosing = false; // the window has begun to close (window's thread)
    // Last, so it goes first: no worker outlives what it uses.
    CLinkWorker m_Worker;
};

// Private window messages.
constexpr UINT WM_KX_WORKER_ENDED = WM_APP + 3;   // a link worker has ended
constexpr UINT WM_KX_UPDATE_ENDED = WM_APP + 4;   // the image is no longer being sent
constexpr UINT WM_KX_UPDATE_CONFIRMED = WM_APP + 5; // the image is about to be sent (sent)
constexpr UINT WM_KX_TELL_AT_START = WM_APP + 6;    // an update never ended, or the tool crashed
