// The Windows functions the provider calls (kernel32, advapi32, user32, winscard).
// On Linux libkelmplatform.so exports them with their Windows names and 32-bit DWORDs, so an
// application that loads the provider reads the thread's last error with GetLastError.
#pragma once

#include "kelm/windows_types.h"

#ifndef _WIN32

// ---- kernel32: last error and process services ----
KELM_WINAPI_EXPORT DWORD WINAPI GetLastError(void);
KELM_WINAPI_EXPORT void WINAPI SetLastError(DWORD dwErrCode);
KELM_WINAPI_EXPORT void WINAPI Sleep(DWORD dwMilliseconds);
KELM_WINAPI_EXPORT DWORD WINAPI GetTickCount(void);
KELM_WINAPI_EXPORT DWORD WINAPI GetCurrentThreadId(void);
KELM_WINAPI_EXPORT BOOL WINAPI GetUserNameA(LPSTR lpBuffer, LPDWORD pcbBuffer);
KELM_WINAPI_EXPORT BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA lpVersionInformation);
KELM_WINAPI_EXPORT LANGID WINAPI GetSystemDefaultLangID(void);
KELM_WINAPI_EXPORT DWORD WINAPI GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize);
KELM_WINAPI_EXPORT int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCCH lpMultiByteStr,
                                                   int cbMultiByte, LPWSTR lpWideCharStr, int cchWideChar);
KELM_WINAPI_EXPORT int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWCH lpWideCharStr,
                                                   int cchWideChar, LPSTR lpMultiByteStr, int cbMultiByte,
                                                   LPCCH lpDefaultChar, LPBOOL lpUsedDefaultChar);
KELM_WINAPI_EXPORT HLOCAL WINAPI LocalAlloc(UINT uFlags, SIZE_T uBytes);
KELM_WINAPI_EXPORT HLOCAL WINAPI LocalFree(HLOCAL hMem);
KELM_WINAPI_EXPORT HANDLE WINAPI GetProcessHeap(void);
KELM_WINAPI_EXPORT LPVOID WINAPI HeapAlloc(HANDLE hHeap, DWORD dwFlags, SIZE_T dwBytes);
KELM_WINAPI_EXPORT BOOL WINAPI HeapFree(HANDLE hHeap, DWORD dwFlags, LPVOID lpMem);

// ---- user32: resources, message boxes and dialogs ----
KELM_WINAPI_EXPORT int WINAPI LoadStringA(HINSTANCE hInstance, UINT uID, LPSTR lpBuffer, int cchBufferMax);
KELM_WINAPI_EXPORT int WINAPI MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType);
KELM_WINAPI_EXPORT INT_PTR WINAPI DialogBoxParamA(HINSTANCE hInstance, LPCSTR lpTemplateName, HWND hWndParent,
                                                  DLGPROC lpDialogFunc, LPARAM dwInitParam);
KELM_WINAPI_EXPORT BOOL WINAPI EndDialog(HWND hDlg, INT_PTR nResult);
KELM_WINAPI_EXPORT HWND WINAPI GetDlgItem(HWND hDlg, int nIDDlgItem);
KELM_WINAPI_EXPORT UINT WINAPI GetDlgItemTextA(HWND hDlg, int nIDDlgItem, LPSTR lpString, int cchMax);
KELM_WINAPI_EXPORT BOOL WINAPI SetDlgItemTextA(HWND hDlg, int nIDDlgItem, LPCSTR lpString);
KELM_WINAPI_EXPORT BOOL WINAPI SetWindowTextA(HWND hWnd, LPCSTR lpString);
KELM_WINAPI_EXPORT LRESULT WINAPI SendMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);
KELM_WINAPI_EXPORT BOOL WINAPI SetWindowPos(HWND hWnd, HWND hWndInsertAfter, int X, int Y, int cx, int cy,
                                            UINT uFlags);
KELM_WINAPI_EXPORT HWND WINAPI SetFocus(HWND hWnd);
KELM_WINAPI_EXPORT BOOL WINAPI ShowWindow(HWND hWnd, int nCmdShow);
KELM_WINAPI_EXPORT HWND WINAPI GetForegroundWindow(void);

// ---- advapi32: registry ----
KELM_WINAPI_EXPORT LONG WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                                             PHKEY phkResult);
KELM_WINAPI_EXPORT LONG WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass,
                                               DWORD dwOptions, REGSAM samDesired, void* lpSecurityAttributes,
                                               PHKEY phkResult, LPDWORD lpdwDisposition);
KELM_WINAPI_EXPORT LONG WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                                                LPBYTE lpData, LPDWORD lpcbData);
KELM_WINAPI_EXPORT LONG WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType,
                                              const BYTE* lpData, DWORD cbData);
KELM_WINAPI_EXPORT LONG WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey);
KELM_WINAPI_EXPORT LONG WINAPI RegDeleteValueA(HKEY hKey, LPCSTR lpValueName);
KELM_WINAPI_EXPORT LONG WINAPI RegCloseKey(HKEY hKey);

// ---- winscard: PC/SC ----
KELM_WINAPI_EXPORT LONG WINAPI SCardEstablishContext(DWORD dwScope, LPCVOID pvReserved1, LPCVOID pvReserved2,
                                                     LPSCARDCONTEXT phContext);
KELM_WINAPI_EXPORT LONG WINAPI SCardReleaseContext(SCARDCONTEXT hContext);
KELM_WINAPI_EXPORT LONG WINAPI SCardListReadersA(SCARDCONTEXT hContext, LPCSTR mszGroups, LPSTR mszReaders,
                                                 LPDWORD pcchReaders);
KELM_WINAPI_EXPORT LONG WINAPI SCardConnectA(SCARDCONTEXT hContext, LPCSTR szReader, DWORD dwShareMode,
                                             DWORD dwPreferredProtocols, LPSCARDHANDLE phCard,
                                             LPDWORD pdwActiveProtocol);
KELM_WINAPI_EXPORT LONG WINAPI SCardGetStatusChangeA(SCARDCONTEXT hContext, DWORD dwTimeout,
                                                     LPSCARD_READERSTATEA rgReaderStates, DWORD cReaders);
KELM_WINAPI_EXPORT LONG WINAPI SCardDisconnect(SCARDHANDLE hCard, DWORD dwDisposition);
KELM_WINAPI_EXPORT LONG WINAPI SCardTransmit(SCARDHANDLE hCard, LPCSCARD_IO_REQUEST pioSendPci, LPCBYTE pbSendBuffer,
                                             DWORD cbSendLength, LPSCARD_IO_REQUEST pioRecvPci, LPBYTE pbRecvBuffer,
                                             LPDWORD pcbRecvLength);
KELM_WINAPI_EXPORT const SCARD_IO_REQUEST g_rgSCardT0Pci;
KELM_WINAPI_EXPORT const SCARD_IO_REQUEST g_rgSCardT1Pci;

#endif  // !_WIN32
