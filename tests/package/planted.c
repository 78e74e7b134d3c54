/* A DLL planted beside the programs, as a web page might leave one in
 * Downloads, built as uxtheme, comctl32 and comdlg32: loading it ends the
 * process with status 86. With -DCONTROL, a program importing those DLLs the
 * plain way, which must fall into the trap: proof that the trap works. */
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
