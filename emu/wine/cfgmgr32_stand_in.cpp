// SPDX-License-Identifier: MIT
// Test-only, never shipped: a cfgmgr32.dll for running quennet-update.exe on
// wine's HID stack (scripts/test-usb-stack.sh loads it beside the exe with
// WINEDLLOVERRIDES=cfgmgr32=n,b). hidapi's Windows back end resolves six
// cfgmgr32 functions when it starts and lists HID devices with two of them,
// CM_Get_Device_Interface_List_SizeW and CM_Get_Device_Interface_ListW; wine
// has those two only as stubs that fail (and wine 8 lacks
// CM_Get_Device_Interface_PropertyW altogether), so hid_enumerate would find
// nothing. Here the two list the present interfaces of the class through
// SetupAPI, which wine implements. The other four only have to exist: they
// fail, as wine's own do, and hidapi then leaves an entry's bus type and
// interface number unknown, which quennet-update does not read.
#include <windows.h>

#include <setupapi.h>

#include <string>
#include <vector>

using CONFIGRET = DWORD;
constexpr CONFIGRET CR_SUCCESS = 0x00;
constexpr CONFIGRET CR_INVALID_POINTER = 0x03;
constexpr CONFIGRET CR_FAILURE = 0x13;
constexpr CONFIGRET CR_BUFFER_SMALL = 0x1A;

// The device paths of the present interfaces of the class, each ended by a
// null character; the list's own final null is not included.
static std::wstring interface_paths(const GUID* interface_class)
{
    std::wstring paths;
    HDEVINFO set = SetupDiGetClassDevsW(interface_class, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE)
        return paths;
    SP_DEVICE_INTERFACE_DATA entry{};
    entry.cbSize = sizeof entry;
    for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, nullptr, interface_class, i, &entry); ++i) {
        DWORD size = 0;
        SetupDiGetDeviceInterfaceDetailW(set, &entry, nullptr, 0, &size, nullptr);
        if (size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W))
            continue;
        std::vector<BYTE> buffer(size);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        if (SetupDiGetDeviceInterfaceDetailW(set, &entry, detail, size, nullptr, nullptr))
            paths.append(detail->DevicePath).push_back(L'\0');
    }
    SetupDiDestroyDeviceInfoList(set);
    return paths;
}

extern "C" {

CONFIGRET WINAPI CM_Get_Device_Interface_List_SizeW(PULONG length, LPGUID interface_class, WCHAR*, ULONG)
{
    if (length == nullptr || interface_class == nullptr)
        return CR_INVALID_POINTER;
    *length = static_cast<ULONG>(interface_paths(interface_class).size() + 1);
    return CR_SUCCESS;
}

CONFIGRET WINAPI CM_Get_Device_Interface_ListW(LPGUID interface_class, WCHAR*, WCHAR* buffer, ULONG length, ULONG)
{
    if (buffer == nullptr || interface_class == nullptr)
        return CR_INVALID_POINTER;
    const std::wstring paths = interface_paths(interface_class);
    if (paths.size() + 1 > length)
        return CR_BUFFER_SMALL;  // the list grew since its size was asked
    paths.copy(buffer, paths.size());
    buffer[paths.size()] = L'\0';
    return CR_SUCCESS;
}

CONFIGRET WINAPI CM_Get_Device_Interface_PropertyW(LPCWSTR, const void*, void*, PBYTE, PULONG, ULONG)
{
    return CR_FAILURE;
}

CONFIGRET WINAPI CM_Locate_DevNodeW(PDWORD, WCHAR*, ULONG)
{
    return CR_FAILURE;
}

CONFIGRET WINAPI CM_Get_Parent(PDWORD, DWORD, ULONG)
{
    return CR_FAILURE;
}

CONFIGRET WINAPI CM_Get_DevNode_PropertyW(DWORD, const void*, void*, PBYTE, PULONG, ULONG)
{
    return CR_FAILURE;
}

}  // extern "C"
