// Placeholder until the simulated platform lands: no library loads.
#include "platform/os.h"
#include "sim/Sim.h"

namespace sim {
void LoadMachine(std::string_view, const std::string &) {}
void LoadMachineFile(const std::string &) {}
void EnsureBooted() {}
static std::vector<Call> g_calls;
const std::vector<Call> &Calls() { return g_calls; }
void ClearCalls() {}
size_t CountCalls(std::string_view) { return 0; }
size_t CountIoctl(uint32_t) { return 0; }
size_t OpenHandleCount() { return 0; }
size_t OpenSetCount() { return 0; }
}  // namespace sim

namespace os {
static DWORD g_lastError = 0;
HMODULE LoadLibraryW(LPCWSTR) {
    g_lastError = 126;
    return nullptr;
}
FARPROC GetProcAddress(HMODULE, LPCSTR) { return nullptr; }
BOOL FreeLibrary(HMODULE) { return TRUE; }
void InitializeCriticalSection(LPCRITICAL_SECTION) {}
HMODULE GetModuleHandleW(LPCWSTR) { return nullptr; }
DWORD GetLastError() { return g_lastError; }
void SetLastError(DWORD e) { g_lastError = e; }
BOOL SetupDiGetDeviceInstanceIdW(HDEVINFO, PSP_DEVINFO_DATA, PWSTR, DWORD, PDWORD) { return FALSE; }
HRESULT IIDFromString(LPCWSTR, LPIID) { return E_INVALIDARG; }
BOOL GetVolumeInformationW(LPCWSTR, LPWSTR, DWORD, LPDWORD, LPDWORD, LPDWORD, LPWSTR, DWORD) { return FALSE; }
int MultiByteToWideChar(UINT, DWORD, LPCSTR, int, LPWSTR, int) { return 0; }
int WGetEnv(size_t *required, WCHAR *buffer, size_t count, const WCHAR *) {
    if (required) *required = 0;
    if (buffer && count) buffer[0] = 0;
    return 0;
}
}  // namespace os
