// Loads each library named on the command line the ordinary way (the program's folder first), as
// an unprotected program would: proof in tests that libraries planted beside it are picked up.

// clang-format off
#include <windows.h>
#include <shellapi.h>
// clang-format on

#include <string>

int main() {
    int count = 0;
    LPWSTR* arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!arguments) return 1;
    for (int i = 1; i < count; ++i) {
        const std::wstring name = std::wstring(arguments[i]) + L".dll";
        LoadLibraryW(name.c_str());
    }
    LocalFree(arguments);
    return 0;
}
