/* A small Windows program the Wine tests build with MinGW-w64 to ask the service control manager what
   Wine's own sc.exe cannot: the service configuration (sc qc), an interrogation (control 4), the security
   descriptor (sc sdshow), and the system text of an error code (what FormatMessageA gives here).

   scprobe config NAME        type=, start=, error=, binary=, dependencies= (';'-joined), display=, account=
   scprobe status NAME        the status as QueryServiceStatus gives it
   scprobe interrogate NAME   the status ControlService(SERVICE_CONTROL_INTERROGATE) returns
   scprobe security NAME      sddl= of QueryServiceObjectSecurity(DACL_SECURITY_INFORMATION)
   scprobe message CODE       hex= of FormatMessageA(FROM_SYSTEM | IGNORE_INSERTS) for CODE, or none
   scprobe value KEY NAME     type=, size=, hex= of the value NAME under HKEY_LOCAL_MACHINE\KEY

   Any failing call prints "failed=<call> error=<GetLastError>" and exits 2. */

#include <windows.h>
#include <sddl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int failed(const char *call) {
    printf("failed=%s error=%lu\n", call, (unsigned long)GetLastError());
    return 2;
}

static void print_status(const SERVICE_STATUS *s) {
    printf("type=0x%lx state=%lu controls=0x%lx exit=%lu service_exit=%lu checkpoint=%lu waithint=%lu\n",
           (unsigned long)s->dwServiceType, (unsigned long)s->dwCurrentState,
           (unsigned long)s->dwControlsAccepted, (unsigned long)s->dwWin32ExitCode,
           (unsigned long)s->dwServiceSpecificExitCode, (unsigned long)s->dwCheckPoint,
           (unsigned long)s->dwWaitHint);
}

static int message(const char *code_text) {
    char *text = NULL;
    DWORD code = (DWORD)strtoul(code_text, NULL, 10);
    DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                 FORMAT_MESSAGE_IGNORE_INSERTS,
                             NULL, code, 0, (LPSTR)&text, 0, NULL);
    if (n == 0) {
        printf("none\n");
        return 0;
    }
    printf("hex=");
    for (DWORD i = 0; i < n; ++i) printf("%02x", (unsigned char)text[i]);
    printf("\n");
    LocalFree(text);
    return 0;
}

static int value(const char *key_path, const char *name) {
    HKEY key;
    static BYTE data[4096];
    DWORD type = 0, size = sizeof data;
    LONG status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, key_path, 0, KEY_QUERY_VALUE, &key);
    if (status != ERROR_SUCCESS) {
        printf("failed=RegOpenKeyExA error=%ld\n", (long)status);
        return 2;
    }
    status = RegQueryValueExA(key, name, NULL, &type, data, &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS) {
        printf("failed=RegQueryValueExA error=%ld\n", (long)status);
        return 2;
    }
    printf("type=%lu size=%lu hex=", (unsigned long)type, (unsigned long)size);
    for (DWORD i = 0; i < size; ++i) printf("%02x", data[i]);
    printf("\n");
    return 0;
}

int main(int argc, char **argv) {
    if (argc == 4 && strcmp(argv[1], "value") == 0) return value(argv[2], argv[3]);
    if (argc != 3) {
        printf("usage: scprobe config|status|interrogate|security NAME | message CODE | value KEY NAME\n");
        return 2;
    }
    const char *command = argv[1];
    if (strcmp(command, "message") == 0) return message(argv[2]);

    SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_CONNECT);
    if (manager == NULL) return failed("OpenSCManagerA");
    SC_HANDLE service = OpenServiceA(manager, argv[2], SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS |
                                                           SERVICE_INTERROGATE | READ_CONTROL);
    if (service == NULL) return failed("OpenServiceA");

    int result = 0;
    if (strcmp(command, "config") == 0) {
        static BYTE buffer[8192];
        QUERY_SERVICE_CONFIGA *c = (QUERY_SERVICE_CONFIGA *)buffer;
        DWORD needed = 0;
        if (!QueryServiceConfigA(service, c, sizeof buffer, &needed)) return failed("QueryServiceConfigA");
        printf("type=0x%lx\nstart=%lu\nerror=%lu\n", (unsigned long)c->dwServiceType,
               (unsigned long)c->dwStartType, (unsigned long)c->dwErrorControl);
        printf("binary=%s\n", c->lpBinaryPathName ? c->lpBinaryPathName : "");
        printf("dependencies=");
        for (const char *d = c->lpDependencies; d != NULL && *d != '\0'; d += strlen(d) + 1)
            printf("%s%s", d == c->lpDependencies ? "" : ";", d);
        printf("\ndisplay=%s\naccount=%s\n", c->lpDisplayName ? c->lpDisplayName : "",
               c->lpServiceStartName ? c->lpServiceStartName : "");
    } else if (strcmp(command, "status") == 0) {
        SERVICE_STATUS s;
        if (!QueryServiceStatus(service, &s)) return failed("QueryServiceStatus");
        print_status(&s);
    } else if (strcmp(command, "interrogate") == 0) {
        SERVICE_STATUS s;
        memset(&s, 0, sizeof s);
        if (!ControlService(service, SERVICE_CONTROL_INTERROGATE, &s)) return failed("ControlService");
        print_status(&s);
    } else if (strcmp(command, "security") == 0) {
        static BYTE buffer[8192];
        DWORD needed = 0;
        char *sddl = NULL;
        if (!QueryServiceObjectSecurity(service, DACL_SECURITY_INFORMATION, buffer, sizeof buffer, &needed))
            return failed("QueryServiceObjectSecurity");
        if (!ConvertSecurityDescriptorToStringSecurityDescriptorA(buffer, SDDL_REVISION_1,
                                                                  DACL_SECURITY_INFORMATION, &sddl, NULL))
            return failed("ConvertSecurityDescriptorToStringSecurityDescriptorA");
        printf("sddl=%s\n", sddl);
        LocalFree(sddl);
    } else {
        printf("unknown command %s\n", command);
        result = 2;
    }
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return result;
}
