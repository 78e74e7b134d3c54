/* A DLL planted beside the programs, as a web page might leave one in
 * Downloads. Built as uxtheme.dll, comctl32.dll and comdlg32.dll: loading it
 * ends the process at once with exit status 86 and a line on stderr. Built
 * with -DCONTROL it is instead a program that imports those DLLs the plain
 * way, which must fall into the trap: proof that the trap works here. */
#ifndef CONTROL
#define WIN32_LEAN_AND_MEAN /* no commdlg.h: the DLL defines its own CommDlgExtendedError */
#endif
#include <windows.h>

#ifdef CONTROL
#include <commctrl.h>
#include <commdlg.h>
#include <uxtheme.h>

int main(void) {
  INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&controls);
  return (int)CommDlgExtendedError() + (int)SetWindowTheme(NULL, NULL, NULL);
}
#else
BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  (void)instance;
  (void)reserved;
  if (reason == DLL_PROCESS_ATTACH) {
    static const char message[] = "planted DLL loaded\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), message, sizeof message - 1, &written, NULL);
    ExitProcess(86);
  }
  return TRUE;
}

/* What the control program imports, so the loader gets as far as DllMain. */
__declspec(dllexport) BOOL WINAPI InitCommonControlsEx(void) { return FALSE; }
__declspec(dllexport) DWORD WINAPI CommDlgExtendedError(void) { return 0; }
__declspec(dllexport) HRESULT WINAPI SetWindowTheme(void) { return 0; }
#endif
