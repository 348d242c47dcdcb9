#include "ui/UpdateDlg.h"

#include <dbt.h>
#include <oleacc.h>

#include "KestrixVersion.h"
#include "framework/Accessible.h"
#include "update/locale/Localization.h"
#include "link/Frames.h"
#include "link/LinkWorkers.h"
#include "res/resource.h"
#include "ui/SkinColors.h"
#include "ui/SkinPictures.h"
#include "ui/FirmwareChooser.h"

namespace {

wchar_t UpperCase(wchar_t c) {
    return static_cast<wchar_t>(reinterpret_cast<UINT_PTR>(
        ::CharUpperW(reinterpret_cast<LPWSTR>(static_cast<UINT_PTR>(c)))));
}

// The skin's layout, in its 96-DPI pixels (m_Scale maps them to the window's DPI).
constexpr int kWindowWidth = 420;
constexpr int kWindowHeight = 327;
constexpr int kPanelHeight = 29;
constexpr DWORD kPictureStyle = SS_BITMAP | SS_CENTERIMAGE;

int PanelWidth() {
    return UiLanguage() == UI_LANG_JAPANESE ? 178 : 172;
}

// The skin is drawn for 1.5 pixels per dialog unit. Labels and panels are put at that
// pixel rectangle whatever the template font's metrics make of their dialog units (the
// template's font is often substituted, which moves them off the skin).
RECT SkinRect(int x, int y, int width, int height) {
    const int left = MulDiv(x, 3, 2), top = MulDiv(y, 3, 2);
    return {left, top, left + MulDiv(width, 3, 2), top + MulDiv(height, 3, 2)};
}

// The device interface a notification names, or empty; the name is bounded by the
// record's size even if it lacks its terminator.
std::wstring NotifiedInterface(DWORD_PTR data) {
    const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(data);
    if (!header || header->dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE ||
        header->dbch_size < sizeof(DEV_BROADCAST_DEVICEINTERFACE_W))
        return {};
    const auto* record = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(data);
    const std::size_t chars =
        (header->dbch_size - offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name)) / sizeof(wchar_t);
    return std::wstring(record->dbcc_name, wcsnlen(record->dbcc_name, chars));
}

// The access key an & marks in a name, upper-cased; 0 for none.
wchar_t AccessKeyOf(const std::wstring& name) {
    const size_t amp = name.find(L'&');
    if (amp == std::wstring::npos || amp + 1 >= name.size())
        return 0;
    return UpperCase(name[amp + 1]);
}

// Gives a button its looks for the scale and puts it at its skin position, with the
// size of its pictures; creates the button the first time.
void PlaceSkinButton(CWnd* parent, const CSkinScale& scale, std::unique_ptr<CButtonEx>& button,
                     RECT& rc, int left, int top, UINT normal, UINT hover, UINT disabled, UINT id) {
    if (!button)
        button = std::make_unique<CButtonEx>();
    button->LoadBitmaps(normal, hover, disabled, scale.Dpi());
    const int x = scale.Px(left), y = scale.Px(top);
    rc = {x, y, x + button->BitmapWidth(), y + button->BitmapHeight()};
    button->CreateOrMove(rc, parent, id);
}
} // namespace

BEGIN_MESSAGE_MAP(CUpdateDlg, CDialog)
    ON_WM_PAINT()
    ON_WM_CTLCOLOR()
    ON_WM_QUERYDRAGICON()
    ON_WM_LBUTTONDOWN()
    ON_WM_ERASEBKGND()
    ON_WM_DEVICECHANGE()
    ON_WM_TIMER()
    ON_WM_CLOSE()
    ON_WM_DESTROY()
    ON_WM_DPICHANGED()
    ON_MESSAGE(WM_SYSCOLORCHANGE, &CUpdateDlg::OnSystemChange)
    ON_MESSAGE(WM_SETTINGCHANGE, &CUpdateDlg::OnSystemChange)
    ON_MESSAGE(WM_QUERYENDSESSION, &CUpdateDlg::OnQueryEndSession)
    ON_MESSAGE(WM_ENDSESSION, &CUpdateDlg::OnEndSession)
    ON_MESSAGE(WM_KX_WORKER_ENDED, &CUpdateDlg::OnWorkerEnded)
    ON_MESSAGE(WM_KX_UPDATE_ENDED, &CUpdateDlg::OnUpdateEnded)
    ON_MESSAGE(WM_KX_UPDATE_CONFIRMED, &CUpdateDlg::OnUpdateConfirmed)
    ON_MESSAGE(WM_KX_TELL_AT_START, &CUpdateDlg::OnTellAtStart)
    ON_BN_CLICKED(IDC_BTN_MINIMIZE, &CUpdateDlg::OnMinimizeButton)
    ON_BN_CLICKED(IDC_BTN_CLOSE, &CUpdateDlg::OnCloseButton)
    ON_BN_CLICKED(IDC_BTN_UPDATE, &CUpdateDlg::OnUpdateButton)
END_MESSAGE_MAP()

CUpdateDlg::CUpdateDlg(CWnd* pParent) : CDialog(IDD_MAIN, pParent) {
    m_hIcon = ::LoadIconW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDI_APP));
}

CUpdateDlg::~CUpdateDlg() {
    TearDown(); // normally done when the window began to close; never leave a worker behind
    m_pBtnClose.reset();
    m_pBtnMinimize.reset();
    m_pBtnUpdate.reset();
}

void CUpdateDlg::DoDataExchange(CDataExchange* pDX) {
    CDialog::DoDataExchange(pDX);
    DDX_Control(pDX, IDC_VERSION, m_VersionLabel);
    DDX_Control(pDX, IDC_GUIDE, m_GuideLabel);
    DDX_Control(pDX, IDC_BACKGROUND, m_Background);
    DDX_Control(pDX, IDC_PROGRESS, m_Progress);
    DDX_Control(pDX, IDC_DEVICE_PANEL, m_DevicePanel);
    DDX_Control(pDX, IDC_VERSION_PANEL, m_VersionPanel);
}

BOOL CUpdateDlg::OnInitDialog() {
    CDialog::OnInitDialog();
    // The window lays itself out at its monitor's scale, now and on every change of it.
    m_nTemplateDpi = GetWindowDpi(m_hWnd);
    m_Scale = CSkinScale(m_nTemplateDpi);
    DisableDialogDpiScaling(m_hWnd);
    // No caption, but the system may still minimise the window and offer its menu.
    ModifyStyle(0, WS_SYSMENU | WS_MINIMIZEBOX);
    SetIcon(m_hIcon, TRUE);
    SetIcon(m_hIcon, FALSE);
    SetupSkin();
    NameControls();
    m_GuideLabel.SetWindowText(LoadLocalizedString(TXT_GUIDE));

    m_Progress.SendMessage(PBM_SETRANGE, 0, MAKELPARAM(0, 100));
    m_Progress.SendMessage(PBM_SETPOS, 0);
    m_Progress.SetOwner(this);

    m_Worker.SetNotify(m_hWnd, WM_KX_WORKER_ENDED);
    m_Hid.m_hNotifyWnd = m_hWnd; // before the first search, which registers it
    SetWindowText(LoadLocalizedString(TXT_TITLE) + L" V" KX_VERSION_SHORT_W);

    if (m_Hid.FindDevice()) {
        if (m_Hid.LastMode() == 1) {
            EnableUpdateButton(true);
            SetConnected(true);
            StartListenThread();
        } else if (m_Hid.LastMode() == 2) {
            // Ask it to switch every second until a request goes through.
            SetTimer(kModeSwitchTimer, 1000);
        }
    } else {
        EnableUpdateButton(false);
        SetConnected(false);
    }

    ApplyFonts();
    ApplyBackground();
    FollowContrast();
    if (m_bTellAtStart)
        PrepareStartNotice();
    return TRUE;
}

LRESULT CUpdateDlg::OnSystemChange(WPARAM, LPARAM) {
    FollowContrast();
    return Default();
}

void CUpdateDlg::FollowContrast() {
    const bool on = m_HighContrastQuery && m_HighContrastQuery();
    if (on != m_bHighContrast)
        ApplyContrast(on);
}

void CUpdateDlg::ApplyContrast(bool on) {
    m_bHighContrast = on;
    // The pictures give way to what the window paints itself, and come back as they were.
    m_Background.ShowWindow(on ? SW_HIDE : SW_SHOW);
    m_VersionPanel.ShowWindow(on ? SW_HIDE : SW_SHOW);
    m_DevicePanel.ShowWindow(on || !m_bPanelsShown ? SW_HIDE : SW_SHOW);
    m_pBtnUpdate->SetHighContrast(on);
    m_pBtnMinimize->SetHighContrast(on, L"_");
    m_pBtnClose->SetHighContrast(on, L"X");
    m_Progress.SetHighContrast(on);
    ::RedrawWindow(m_hWnd, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
}

BOOL CUpdateDlg::OnEraseBkgnd(CDC* pDC) {
    // The skin's background picture covers the window; in high contrast nothing does.
    if (m_bHighContrast) {
        RECT rc{};
        GetClientRect(&rc);
        pDC->FillRect(rc, ::GetSysColorBrush(COLOR_WINDOW));
    }
    return TRUE;
}

void CUpdateDlg::PaintHighContrast() {
    CPaintDC dc(m_hWnd);
    CSelectObject font(dc, m_VersionFont);
    ::SetBkMode(dc, TRANSPARENT);
    dc.SetTextColor(::GetSysColor(COLOR_WINDOWTEXT));
    auto draw = [&](const std::wstring& text, RECT rc, UINT format) {
        ::DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &rc, format | DT_NOPREFIX);
    };
    // The title, the device state and what the version text is, where the skin shows them.
    draw(GetWindowText(), m_Scale.Rect(8, 4, 360, 18), DT_LEFT | DT_VCENTER | DT_SINGLELINE);
    // The state may take more lines than the panel: down to the update button, if need be
    // (ShowPanels redraws the same rectangle).
    if (m_bPanelsShown)
        draw(m_DevicePanel.Accessible().Name(), m_Scale.Rect(28, 88, PanelWidth(), 50),
             DT_LEFT | DT_WORDBREAK);
    // Between the device state and the version text (which starts at 267).
    draw(LoadLocalizedString(TXT_VERSION_NAME), m_Scale.Rect(204, 88, 62, kPanelHeight),
         DT_RIGHT | DT_WORDBREAK);
}

void CUpdateDlg::SetupSkin() {
    PlaceWindow(0, 0);
    LayOutSkin();
    // Pictures lie under the texts and buttons and never paint over them: the version
    // text sits on the version panel, and everything on the background.
    for (CStatic* picture : {&m_Background, &m_DevicePanel, &m_VersionPanel})
        picture->ModifyStyle(0, WS_CLIPSIBLINGS);
    m_VersionLabel.SetWindowPos(HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
}

void CUpdateDlg::NameControls() {
    // The buttons' names are their window texts, which their pictures never draw.
    m_pBtnUpdate->SetWindowText(LoadLocalizedString(TXT_UPDATE_BUTTON_NAME));
    m_pBtnMinimize->SetWindowText(LoadLocalizedString(TXT_MINIMIZE_BUTTON_NAME));
    m_pBtnClose->SetWindowText(LoadLocalizedString(TXT_CLOSE_BUTTON_NAME));
    m_nUpdateKey = AccessKeyOf(LoadLocalizedString(TXT_UPDATE_BUTTON_NAME));
    m_DevicePanel.Accessible().SetRole(ROLE_SYSTEM_STATICTEXT);
    m_VersionLabel.Accessible().SetRole(ROLE_SYSTEM_STATICTEXT);
    m_Progress.Accessible().SetName(LoadLocalizedString(TXT_PROGRESS_NAME));
}

void CUpdateDlg::NameVersion(const std::wstring& text) {
    m_VersionLabel.Accessible().SetName(
        text.empty() ? std::wstring() : LoadLocalizedString(TXT_VERSION_NAME) + L" " + text);
}

void CUpdateDlg::PlaceWindow(int left, int top) {
    SetWindowPos(nullptr, left, top, m_Scale.Px(kWindowWidth), m_Scale.Px(kWindowHeight),
                 SWP_NOZORDER | SWP_NOACTIVATE);
}

void CUpdateDlg::LayOutSkin() {
    PlaceSkinButton(this, m_Scale, m_pBtnMinimize, m_rcMinimize, 381, 4, IDB_MINIMIZE,
                    IDB_MINIMIZE_HOVER, IDB_MINIMIZE, IDC_BTN_MINIMIZE);
    PlaceSkinButton(this, m_Scale, m_pBtnClose, m_rcClose, 398, 4, IDB_CLOSE, IDB_CLOSE_HOVER,
                    IDB_CLOSE, IDC_BTN_CLOSE);
    PlaceSkinButton(this, m_Scale, m_pBtnUpdate, m_rcUpdate, 161, 140,
                    static_cast<UINT>(LocalizedId(PIC_UPDATE_NORMAL)),
                    static_cast<UINT>(LocalizedId(PIC_UPDATE_HOVER)),
                    static_cast<UINT>(LocalizedId(PIC_UPDATE_DISABLED)), IDC_BTN_UPDATE);
    m_Progress.SetDpi(m_Scale.Dpi());
    m_Progress.MoveWindow(m_Scale.Rect(82, 180, 254, 5));
    m_VersionLabel.MoveWindow(m_Scale.Rect(SkinRect(178, 62, 70, 9)));
    m_GuideLabel.MoveWindow(m_Scale.Rect(SkinRect(23, 149, 235, 45)));
    m_DevicePanel.MoveWindow(m_Scale.Rect(SkinRect(19, 46, 115, 19)));
    m_VersionPanel.MoveWindow(m_Scale.Rect(SkinRect(150, 46, 115, 33)));
}

void CUpdateDlg::ApplyFonts() {
    LOGFONTW lf{};
    lf.lfHeight = m_Scale.Px(UseChineseFont() ? 18 : 15);
    lf.lfWeight = FW_NORMAL;
    lf.lfCharSet = ANSI_CHARSET;
    lf.lfOutPrecision = OUT_DEFAULT_PRECIS;
    lf.lfClipPrecision = CLIP_DEFAULT_PRECIS;
    lf.lfQuality = DEFAULT_QUALITY;
    lf.lfPitchAndFamily = FF_SWISS;
    wcscpy_s(lf.lfFaceName, UseChineseFont() ? L"\u5FAE\u8F6F\u96C5\u9ED1" : L"Arial");
    m_GuideFont.CreateFontIndirect(lf);
    m_GuideLabel.SetFont(m_GuideFont, TRUE);
    // The buttons' names show in this font in high contrast.
    for (CButtonEx* button : {m_pBtnUpdate.get(), m_pBtnMinimize.get(), m_pBtnClose.get()})
        button->SetFont(m_GuideFont, FALSE);
    // The version text keeps the template's font, at the window's scale.
    m_VersionFont.CreateScaledCopy(reinterpret_cast<HFONT>(SendMessage(WM_GETFONT)), m_nTemplateDpi,
                                   m_Scale.Dpi());
    m_VersionLabel.SetFont(m_VersionFont, TRUE);
}

void CUpdateDlg::ApplyBackground() {
    PlaceWindow(0, 0);
    m_Background.ModifyStyle(0, kPictureStyle);
    ShowBackground();
    // The background lies under every other control, whatever the template's order.
    m_Background.SetWindowPos(HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
}

void CUpdateDlg::ShowBackground() {
    m_Background.SetBitmap(
        LoadSkinPicture(static_cast<UINT>(LocalizedId(PIC_BACKGROUND)), m_Scale.Dpi()));
    // A centred picture does not size its control: the control covers the whole window.
    m_Background.MoveWindow(m_Scale.Rect(0, 0, kWindowWidth, kWindowHeight));
}

void CUpdateDlg::SetConnected(bool connected) {
    m_bConnected = connected;
    ShowPanels();
    // Reconnecting shows the last known version until the receiver reports again.
    const std::wstring version = connected ? VersionText() : std::wstring();
    m_VersionLabel.SetWindowText(version);
    NameVersion(version);
    m_VersionLabel.ShowWindow(SW_SHOW);
    m_VersionLabel.Invalidate(TRUE); // its colours follow m_bConnected
}

void CUpdateDlg::EnableUpdateButton(bool enable) {
    if (m_pBtnUpdate)
        m_pBtnUpdate->EnableWindow(enable);
}

bool CUpdateDlg::OnWindowThread() const {
    return ::GetCurrentThreadId() == ::GetWindowThreadProcessId(m_hWnd, nullptr);
}

void CUpdateDlg::RefreshDeviceState() {
    const bool found = m_Hid.FindDevice() != 0;
    EnableUpdateButton(found);
    SetConnected(found);
}

void CUpdateDlg::ShowPanels() {
    const int width = PanelWidth();
    m_DevicePanel.ModifyStyle(0, kPictureStyle);
    m_DevicePanel.SetBitmap(LoadSkinPicture(
        static_cast<UINT>(LocalizedId(m_bConnected ? PIC_DEVICE_CONNECTED : PIC_DEVICE_ABSENT)),
        m_Scale.Dpi()));
    m_DevicePanel.MoveWindow(m_Scale.Rect(28, 88, width, kPanelHeight));
    m_bPanelsShown = true;
    m_DevicePanel.ShowWindow(m_bHighContrast ? SW_HIDE : SW_SHOW);
    if (m_bHighContrast) { // the state in words changes with the look
        // Only the words' place, and the controls it touches, which the erase paints over.
        const RECT state = m_Scale.Rect(28, 88, width, 50);
        ::RedrawWindow(m_hWnd, &state, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
    }
    // The look in words, for screen readers.
    m_DevicePanel.Accessible().SetName(
        LoadLocalizedString(m_bConnected ? TXT_RECEIVER_CONNECTED : TXT_RECEIVER_ABSENT));

    m_VersionPanel.ModifyStyle(0, kPictureStyle);
    m_VersionPanel.SetBitmap(LoadSkinPicture(
        static_cast<UINT>(LocalizedId(m_bConnected ? PIC_VERSION_CONNECTED : PIC_VERSION_ABSENT)),
        m_Scale.Dpi()));
    m_VersionPanel.MoveWindow(
        m_Scale.Rect(UiLanguage() == UI_LANG_JAPANESE ? 216 : 222, 88, width, kPanelHeight));
}

LRESULT CUpdateDlg::OnDpiChanged(UINT dpi, const RECT* suggested) {
    // Moved to a monitor of another scale: the whole skin again, at the place the system
    // suggests (its size is the skin's at the new scale).
    m_Scale = CSkinScale(dpi);
    RECT rc{};
    GetWindowRect(&rc);
    if (suggested)
        rc = *suggested;
    PlaceWindow(rc.left, rc.top);
    LayOutSkin();
    ApplyFonts();
    ShowBackground();
    if (m_bPanelsShown) // the panels have shown a look already
        ShowPanels();
    // Nothing of the old scale may stay on screen (the move copied the old pixels).
    ::RedrawWindow(m_hWnd, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
    return 0;
}

bool CUpdateDlg::IsForeground() {
    return ::GetForegroundWindow() == m_hWnd;
}

void CUpdateDlg::ShowConnectedLook() {
    // The update button stays as the update worker left it while an update runs.
    if (!IsUpdateRunning())
        EnableUpdateButton(true);
    SetConnected(true);
}

BOOL CUpdateDlg::OnDeviceChange(UINT nEventType, DWORD_PTR dwData) {
    const UINT event = LOWORD(nEventType);
    // A window on its way out searches for nothing and starts nothing.
    if (m_bClosing || (event != DBT_DEVNODES_CHANGED && event != DBT_DEVICEARRIVAL &&
                       event != DBT_DEVICEREMOVECOMPLETE))
        return TRUE;
    const bool found = m_Hid.FindDevice() != 0;
    const unsigned lastMode = m_Hid.LastMode();

    // The mode-switch request reopens the device: never while a worker talks to it. The
    // search is made again once the worker has ended.
    const auto requestModeSwitch = [this] {
        if (ReceiverBusy())
            m_bSearchPending = true;
        else
            RequestModeSwitch(m_Hid);
    };

    switch (event) {
    case DBT_DEVNODES_CHANGED:
        if (found && lastMode == 1) {
            ShowConnectedLook();
        } else if (found && lastMode == 2) {
            requestModeSwitch();
        } else if (!found) {
            EnableUpdateButton(false);
            SetConnected(false);
        }
        break;
    case DBT_DEVICEARRIVAL:
        if (found && lastMode == 1) {
            ShowConnectedLook();
            // One worker talks to the receiver at a time: a receiver that arrives while
            // one runs (such as one rebooting with its new firmware while the update
            // worker shows the outcome) is asked for its version once that has ended.
            if (ReceiverBusy())
                m_bSearchPending = true;
            else
                StartListenThread();
        } else if (found && lastMode == 2) {
            requestModeSwitch();
        }
        break;
    case DBT_DEVICEREMOVECOMPLETE:
        // The worker's receiver has gone: it learns at once (it may not notice itself
        // while it waits for the user), and whatever it shows for the receiver (the
        // chooser, the confirmation) is closed. Another device leaving, or a receiver
        // beside it, changes nothing for it; a notification that names no interface
        // counts when no receiver is found any more.
        const std::wstring gone = NotifiedInterface(dwData);
        if (m_Hid.IsOpenDevice(gone) || (gone.empty() && !found))
            m_Worker.OnReceiverRemoved();
        if (!found && lastMode == 1) {
            EnableUpdateButton(false);
            SetConnected(false);
        } else if (!found && lastMode == 2) {
            requestModeSwitch();
        }
        break;
    }
    return TRUE;
}

HBRUSH CUpdateDlg::OnCtlColor(CDC* pDC, CWnd* pWnd, UINT nCtlColor) {
    const int id = nCtlColor == CTLCOLOR_STATIC ? pWnd->GetDlgCtrlID() : 0;
    if (id != IDC_VERSION && id != IDC_GUIDE)
        return CDialog::OnCtlColor(pDC, pWnd, nCtlColor);
    if (m_bHighContrast) {
        pDC->SetTextColor(::GetSysColor(COLOR_WINDOWTEXT));
        pDC->SetBkColor(::GetSysColor(COLOR_WINDOW));
        return ::GetSysColorBrush(COLOR_WINDOW);
    }
    // One brush per colour for the window's life: repaints create none.
    const bool body = id == IDC_GUIDE || m_bConnected;
    CBrush& brush = body ? m_brBody : m_brPanel;
    if (brush.IsNull())
        brush.CreateSolidBrush(body ? kSkinBody : kSkinPanel);
    pDC->SetTextColor(kSkinText);
    pDC->SetBkColor(body ? kSkinBody : kSkinPanel);
    return brush;
}

BOOL CUpdateDlg::PreTranslateMessage(MSG* pMsg) {
    // The update button's access key (Alt+U in English, or the key alone) presses it, but
    // only while it is enabled; nothing else in the window has one.
    const bool ours = pMsg->hwnd == m_hWnd || ::IsChild(m_hWnd, pMsg->hwnd);
    if (ours && (pMsg->message == WM_SYSCHAR || pMsg->message == WM_CHAR) && m_nUpdateKey &&
        UpperCase(static_cast<wchar_t>(pMsg->wParam)) == m_nUpdateKey) {
        if (m_pBtnUpdate && m_pBtnUpdate->IsWindowEnabled() && !IsUpdateRunning())
            OnUpdateButton();
        return TRUE;
    }
    if (pMsg->message == WM_KEYDOWN) {
        switch (pMsg->wParam) {
        case VK_TAB:
        case VK_RETURN:
        case VK_MENU:
        case VK_ESCAPE:
        case VK_LEFT:
        case VK_UP:
        case VK_RIGHT:
        case VK_DOWN:
        case VK_F1:
            return TRUE; // Enter and Escape never close it; no focus moves; no help
        }
    }
    return CDialog::PreTranslateMessage(pMsg);
}

void CUpdateDlg::OnLButtonDown(UINT, POINT) {
    // No caption: the system's move loop drags the window from anywhere on the skin, as
    // if the caption had been pressed (a move begun from the client area moves nothing
    // on some systems, Wine among them).
    SendMessage(WM_SYSCOMMAND, SC_MOVE | HTCAPTION, 0);
    Default();
}

void CUpdateDlg::OnPaint() {
    if (!IsIconic() && m_bHighContrast) {
        PaintHighContrast();
        return;
    }
    if (!IsIconic()) {
        Default();
        return;
    }
    CPaintDC dc(m_hWnd);
    SendMessage(WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc.GetSafeHdc()), 0);
    RECT rc{};
    GetClientRect(&rc);
    const int x = (rc.right - ::GetSystemMetrics(SM_CXICON) + 1) / 2;
    const int y = (rc.bottom - ::GetSystemMetrics(SM_CYICON) + 1) / 2;
    dc.DrawIcon(x, y, m_hIcon);
}

HCURSOR CUpdateDlg::OnQueryDragIcon() {
    return m_hIcon;
}

void CUpdateDlg::OnMinimizeButton() {
    SendMessage(WM_SYSCOMMAND, SC_MINIMIZE, 0);
}

void CUpdateDlg::OnCloseButton() {
    SendMessage(WM_CLOSE);
}

void CUpdateDlg::OnClose() {
    // Every way of closing comes here (the close button, Alt+F4, the taskbar, the system
    // menu): while an image is being sent, each asks the same question first.
    if (m_bAskingToClose)
        return;
    if (!m_bClosing && Sending()) {
        const std::wstring question = L"\n   " + LoadLocalizedString(TXT_ABORT_QUESTION) + L"   \n";
        m_bAskingToClose = true;
        const int answer = ShowPrompt(question, PROMPT_OKCANCEL);
        m_bAskingToClose = false;
        if (answer != IDOK)
            return; // the window stays and the update goes on
    }
    // The worker and whatever it shows go first, while the window still answers them.
    TearDown();
    Default(); // ends the window's run
}

LRESULT CUpdateDlg::OnQueryEndSession(WPARAM, LPARAM) {
    if (m_bClosing || !Sending()) {
        ReleaseShutdownBlock();
        return TRUE;
    }
    // Log-off and shut-down wait for the update, and the system says why.
    if (!m_bShutdownBlocked)
        m_bShutdownBlocked = ::ShutdownBlockReasonCreate(
                                 m_hWnd, LoadLocalizedString(TXT_UPDATE_RUNNING).c_str()) != FALSE;
    return FALSE;
}

LRESULT CUpdateDlg::OnEndSession(WPARAM ending, LPARAM) {
    // The system ends the process after this returns: leave now, without waiting for
    // anything that may not come.
    if (ending) {
        TearDown();
        EndDialog(IDCANCEL);
    }
    return 0;
}

void CUpdateDlg::UpdateEnded() {
    PostMessage(WM_KX_UPDATE_ENDED);
}

LRESULT CUpdateDlg::OnUpdateEnded(WPARAM, LPARAM) {
    ReleaseShutdownBlock();
    return 0;
}

void CUpdateDlg::ReleaseShutdownBlock() {
    if (m_bShutdownBlocked && (m_bClosing || !Sending())) {
        ::ShutdownBlockReasonDestroy(m_hWnd);
        m_bShutdownBlocked = false;
    }
}

void CUpdateDlg::OnTimer(UINT_PTR nIDEvent) {
    // The mode-switch request reopens the device, which a running worker owns.
    if (nIDEvent == kModeSwitchTimer && !ReceiverBusy() && RequestModeSwitch(m_Hid))
        KillTimer(kModeSwitchTimer);
    if (nIDEvent == kHistoryTimer)
        WriteRecord(); // the version after the reboot did not come in time
    Default();
}

void CUpdateDlg::OnDestroy() {
    // No worker may reach this window once it has gone, nor any notification (done
    // already when the window was closed rather than ended).
    TearDown();
    Default();
}

int CUpdateDlg::ShowPrompt(std::wstring text, int style) {
    if (OnWindowThread())
        return CPromptDlg::Show(m_hWnd, text, style, m_bHighContrast);
    // A worker's prompt: known to the worker, which closes it when it must stop. Its one
    // question, the confirmation, is also closed when the receiver goes; its messages are
    // left for the user to read.
    CLinkWorker::ModalScope scope(m_Worker, m_hWnd, style == PROMPT_OKCANCEL);
    return CPromptDlg::Show(m_hWnd, text, style, m_bHighContrast);
}

bool CUpdateDlg::ChooseImage(std::wstring* path) {
    CLinkWorker::ModalScope scope(m_Worker, m_hWnd, true);
    *path = ChooseImageFile(m_hWnd);
    return !path->empty();
}

void CUpdateDlg::SetProgress(int percent) {
    // Called for every block from the worker: a position the bar already has costs no
    // round trip to the window's thread.
    if (m_nProgressPos.exchange(percent) != percent)
        m_Progress.SetPos(percent);
}

void CUpdateDlg::SetVersionText(const std::wstring& text) {
    {
        std::lock_guard<std::mutex> lock(m_VersionTextLock);
        m_VersionText = text;
    }
    m_VersionLabel.SetWindowText(text);
    NameVersion(text);
}

std::wstring CUpdateDlg::VersionText() const {
    std::lock_guard<std::mutex> lock(m_VersionTextLock);
    return m_VersionText;
}
