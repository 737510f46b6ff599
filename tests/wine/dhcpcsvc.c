/*
 * A DHCP client library for running netvane under Wine, whose own
 * dhcpcsvc.dll only has a stub that aborts when it is called. It writes one
 * line per call to the file named by NETVANE_DHCP_RECORD, in the format of
 * the Linux stand-in, so that the two records compare byte for byte, and it
 * answers the way the stand-in does: it accepts a change only for an adapter
 * that has TCP/IP configuration and, for a static address, only an address
 * and mask that a running adapter could use. NETVANE_DHCP_RESULT forces the
 * answer instead.
 *
 * Built with NETVANE_DHCP_WITHOUT_ENTRY, the same code is exported under
 * another name only, which is how a library without the entry looks to a
 * caller that looks the entry up by name.
 */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#define ERROR_RESULT_INVALID_PARAMETER 87

static const wchar_t kAdapterKeyPrefix[] = L"SYSTEM\\CurrentControlSet\\Services\\";
static const wchar_t kAdapterKeySuffix[] = L"\\Parameters\\Tcpip";
static const wchar_t kInterfaceKeyPrefix[] =
    L"SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters\\Interfaces\\";

static int keyExists(const wchar_t *prefix, const wchar_t *name, const wchar_t *suffix)
{
    wchar_t path[1024];
    HKEY key;
    if (wcslen(prefix) + wcslen(name) + wcslen(suffix) >= sizeof path / sizeof path[0])
        return 0;
    wcscpy(path, prefix);
    wcscat(path, name);
    wcscat(path, suffix);
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return 0;
    RegCloseKey(key);
    return 1;
}

/* A name that is no single key name (empty, or with an empty component)
 * names no adapter, even where Windows would forgive the path it makes. */
static int adapterHasTcpip(const wchar_t *name)
{
    size_t length = name ? wcslen(name) : 0;
    if (length == 0 || name[0] == L'\\' || name[length - 1] == L'\\' || wcsstr(name, L"\\\\"))
        return 0;
    return keyExists(kAdapterKeyPrefix, name, kAdapterKeySuffix) ||
           keyExists(kInterfaceKeyPrefix, name, L"");
}

static int isUsableMask(DWORD networkOrder)
{
    const unsigned char *b = (const unsigned char *)&networkOrder;
    DWORD mask = ((DWORD)b[0] << 24) | ((DWORD)b[1] << 16) | ((DWORD)b[2] << 8) | b[3];
    DWORD hostBits = ~mask;
    return mask != 0 && (hostBits & (hostBits + 1)) == 0;
}

static DWORD answer(const wchar_t *adapterName, BOOL isNewAddress, DWORD address, DWORD mask)
{
    char forced[32];
    DWORD n = GetEnvironmentVariableA("NETVANE_DHCP_RESULT", forced, sizeof forced);
    if (n > 0 && n < sizeof forced)
        return (DWORD)strtoul(forced, NULL, 10);
    if (!adapterHasTcpip(adapterName))
        return ERROR_RESULT_INVALID_PARAMETER;
    if (isNewAddress && (address == 0 || address == 0xFFFFFFFFu || !isUsableMask(mask)))
        return ERROR_RESULT_INVALID_PARAMETER;
    return ERROR_SUCCESS;
}

static void record(const wchar_t *serverName, const wchar_t *adapterName, BOOL isNewAddress,
                   DWORD index, DWORD address, DWORD mask, int action)
{
    char file[MAX_PATH];
    DWORD n = GetEnvironmentVariableA("NETVANE_DHCP_RECORD", file, sizeof file);
    const unsigned char *a = (const unsigned char *)&address;
    const unsigned char *m = (const unsigned char *)&mask;
    const wchar_t *unit;
    FILE *out;
    if (n == 0 || n >= sizeof file)
        return;
    out = fopen(file, "ab");
    if (!out)
        return;
    fprintf(out, "server=%s adapter=", serverName ? "given" : "NULL");
    for (unit = adapterName; unit && *unit; ++unit)
        fprintf(out, "%04x", (unsigned)*unit);
    fprintf(out, " new=%d index=%lu address=%u.%u.%u.%u mask=%u.%u.%u.%u action=%d\n",
            (int)isNewAddress, (unsigned long)index, a[0], a[1], a[2], a[3], m[0], m[1], m[2],
            m[3], action);
    fclose(out);
}

#ifdef NETVANE_DHCP_WITHOUT_ENTRY
#define ENTRY_NAME DhcpNotifyConfigChangeElsewhere
#else
#define ENTRY_NAME DhcpNotifyConfigChange
#endif

__declspec(dllexport) DWORD WINAPI ENTRY_NAME(LPWSTR serverName, LPWSTR adapterName,
                                                          BOOL isNewAddress, DWORD index,
                                                          DWORD address, DWORD mask, int action)
{
    DWORD result = answer(adapterName, isNewAddress, address, mask);
    record(serverName, adapterName, isNewAddress, index, address, mask, action);
    return result;
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    (void)instance;
    (void)reason;
    (void)reserved;
    return TRUE;
}
