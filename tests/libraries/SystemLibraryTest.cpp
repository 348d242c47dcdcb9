// Libraries named plainly come from the system folder only: CSystemLibrary, the
// process-wide rule the program entry sets, and the device seam's real table built on
// them, with what that table does when a library or a function cannot be had.
#include <gtest/gtest.h>

#include "LibrariesTestSupport.h"

#include "framework/SystemLibrary.h"
#include "link/DeviceSeam.h"
#include "link/Hid.h"
#include "support/TempDir.h"

namespace {

// The HID device interface class, as hid.dll reports it.
constexpr GUID kHidClass = {
    0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

// A planted library copied to `to` for the life of the object.
class PlantedCopy {
public:
    explicit PlantedCopy(const std::filesystem::path& to) : m_Path(to) {
        std::filesystem::copy_file(PlantedDir() / L"hid.dll", to,
                                   std::filesystem::copy_options::overwrite_existing);
    }
    ~PlantedCopy() {
        std::error_code ignored;
        std::filesystem::remove(m_Path, ignored);
        std::filesystem::remove(m_Path.wstring() + L".loaded", ignored);
    }
    PlantedCopy(const PlantedCopy&) = delete;
    PlantedCopy& operator=(const PlantedCopy&) = delete;

private:
    std::filesystem::path m_Path;
};

// Loads a library the way a plain LoadLibraryW does and frees it again; returns the
// error when it was not found, 0 when it was.
DWORD PlainLoadError(const wchar_t* name) {
    const HMODULE module = ::LoadLibraryW(name);
    const DWORD error = module ? 0 : ::GetLastError();
    if (module)
        ::FreeLibrary(module);
    return error;
}

// The libraries the process entry would otherwise find beside the program and in the
// current directory. This test sets the rule for the whole test process, once: the other
// tests here load only from the system folder or by full path, which the rule leaves
// alone.
TEST(SystemLibrary, NeverTakesALibraryFromBesideTheProgramOrTheCurrentDirectory) {
    TempDir current;
    const PlantedCopy beside(TestProgramDir() / L"kx-planted-beside.dll");
    const PlantedCopy inCurrent(current.Path(L"kx-planted-current.dll"));
    const ScopedCurrentDirectory in(current.Path(L""));

    // The standard search looks in both places: the plants are there to be found.
    ASSERT_EQ(PlainLoadError(L"kx-planted-beside.dll"), 0u);
    ASSERT_EQ(PlainLoadError(L"kx-planted-current.dll"), 0u);

    for (const wchar_t* name : {L"kx-planted-beside.dll", L"kx-planted-current.dll"}) {
        const CSystemLibrary library(name);
        EXPECT_FALSE(library.Loaded()) << name;
        EXPECT_EQ(library.UnavailableError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND)) << name;
        EXPECT_EQ(library.Function<FARPROC>("PlantedStandIn"), nullptr) << name;
    }

    // Once the program entry's rule is set, a plain load by name skips them too, and
    // still finds what the system folder holds.
    EXPECT_TRUE(AfxRestrictDllSearch());
    EXPECT_EQ(PlainLoadError(L"kx-planted-beside.dll"), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
    EXPECT_EQ(PlainLoadError(L"kx-planted-current.dll"), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
    EXPECT_EQ(PlainLoadError(L"setupapi.dll"), 0u);
}

TEST(RealDeviceTable, ReachesTheHidClassAndDeviceSetUpServicesOfTheSystemFolder) {
    DeviceApi& api = RealDeviceApi();
    GUID guid{};
    api.HidD_GetHidGuid(&guid);
    EXPECT_TRUE(IsEqualGUID(guid, kHidClass));
    const HDEVINFO set =
        api.SetupDiGetClassDevsW(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(api.SetupDiDestroyDeviceInfoList(set));
    EXPECT_EQ(LoadedFrom(L"hid.dll"), SystemDir());
    EXPECT_EQ(LoadedFrom(L"setupapi.dll"), SystemDir());
}

// Without its libraries the real table answers as the system calls do when they fail,
// with the reason as the last error, and the link finds no receiver: the tool shows its
// not-connected look instead of crashing.
TEST(RealDeviceTable, FailsLikeTheSystemCallsWhenALibraryOrAFunctionIsMissing) {
    const struct {
        const wchar_t* Library;
        DWORD Error;
    } cases[] = {
        {L"kx-no-such-library.dll", ERROR_MOD_NOT_FOUND}, // no library of that name
        {L"kernel32.dll", ERROR_PROC_NOT_FOUND},          // a library without the functions
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Library);
        const std::unique_ptr<DeviceApi> api = MakeSystemDeviceApi(c.Library, c.Library);
        GUID guid = kHidClass;
        api->HidD_GetHidGuid(&guid);
        EXPECT_TRUE(IsEqualGUID(guid, GUID{})) << "a class no device has";

        // Each call fails, with the reason as its last error.
        HIDD_ATTRIBUTES attributes{};
        SP_DEVICE_INTERFACE_DATA iface{};
        iface.cbSize = sizeof(iface);
        DWORD required = 0;
        ::SetLastError(0);
        EXPECT_FALSE(api->HidD_GetAttributes(INVALID_HANDLE_VALUE, &attributes));
        EXPECT_EQ(::GetLastError(), c.Error);
        ::SetLastError(0);
        EXPECT_EQ(api->SetupDiGetClassDevsW(&kHidClass, nullptr, nullptr, 0), INVALID_HANDLE_VALUE);
        EXPECT_EQ(::GetLastError(), c.Error);
        ::SetLastError(0);
        EXPECT_FALSE(api->SetupDiEnumDeviceInterfaces(nullptr, nullptr, &kHidClass, 0, &iface));
        EXPECT_EQ(::GetLastError(), c.Error);
        ::SetLastError(0);
        EXPECT_FALSE(
            api->SetupDiGetDeviceInterfaceDetailW(nullptr, &iface, nullptr, 0, &required, nullptr));
        EXPECT_EQ(::GetLastError(), c.Error);
        ::SetLastError(0);
        EXPECT_FALSE(api->SetupDiDestroyDeviceInfoList(nullptr));
        EXPECT_EQ(::GetLastError(), c.Error);

        const ScopedDeviceApi seam(*api);
        CHid hid;
        EXPECT_EQ(hid.FindDevice(), 0);
    }
}

} // namespace
