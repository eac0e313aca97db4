// The small part of the Windows API that the plug-ins use, declared for
// non-Windows builds. The functions live in one shared library (the platform
// stand-in) that both plug-ins and every native host link, as kernel32 and
// winmm are shared on Windows: a block allocated in a plug-in is freed by the
// host with the same LocalFree. On Windows this header is not used.
#ifndef KALDORIN_PLATFORM_WIN_COMPAT_H
#define KALDORIN_PLATFORM_WIN_COMPAT_H

#ifdef _WIN32
#error "win_compat.h stands in for <windows.h> on other systems only"
#endif

#include <stddef.h>
#include <stdint.h>

#if defined(KALDORIN_BUILDING_PLATFORM)
#define KALDORIN_PLATFORM_API __attribute__((visibility("default")))
#else
#define KALDORIN_PLATFORM_API
#endif

#define WINAPI
#define CALLBACK

typedef int BOOL;
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef uint32_t UINT;
typedef int32_t LONG;
typedef LONG* PLONG;
typedef DWORD* LPDWORD;
typedef intptr_t LONG_PTR;
typedef uintptr_t ULONG_PTR;
typedef uintptr_t SIZE_T;
typedef intptr_t LRESULT;
typedef intptr_t LPARAM;
typedef void* LPVOID;
typedef void* HANDLE;
typedef void* HLOCAL;
typedef void* HTASK;
typedef char* LPSTR;
typedef const char* LPCSTR;
// Wide strings are UTF-16, as on Windows.
typedef char16_t WCHAR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;
typedef char* HPSTR;
typedef DWORD FOURCC;
typedef UINT MMRESULT;
typedef struct KaldorinMmioFile* HMMIO;
typedef struct KaldorinOverlapped* LPOVERLAPPED;
typedef LRESULT(CALLBACK* LPMMIOPROC)(LPSTR, UINT, LPARAM, LPARAM);

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

#define LMEM_FIXED 0x0000u
#define LMEM_MOVEABLE 0x0002u
#define LMEM_ZEROINIT 0x0040u

#define MMIO_READ 0x00000000u
#define MMIO_WRITE 0x00000001u
#define MMIO_READWRITE 0x00000002u
#define MMIO_DENYWRITE 0x00000020u
#define MMIO_DENYNONE 0x00000040u
#define MMIO_CREATE 0x00001000u
#define MMIO_ALLOCBUF 0x00010000u

#define MMSYSERR_NOERROR 0u
#define MMIOERR_BASE 256u
#define MMIOERR_FILENOTFOUND (MMIOERR_BASE + 1)
#define MMIOERR_OUTOFMEMORY (MMIOERR_BASE + 2)
#define MMIOERR_CANNOTOPEN (MMIOERR_BASE + 3)
#define MMIOERR_CANNOTCLOSE (MMIOERR_BASE + 4)
#define MMIOERR_CANNOTREAD (MMIOERR_BASE + 5)
#define MMIOERR_CANNOTWRITE (MMIOERR_BASE + 6)
#define MMIOERR_CANNOTSEEK (MMIOERR_BASE + 7)

#define mmioFOURCC(c0, c1, c2, c3) \
  ((DWORD)(BYTE)(c0) | ((DWORD)(BYTE)(c1) << 8) | ((DWORD)(BYTE)(c2) << 16) | ((DWORD)(BYTE)(c3) << 24))
#define FOURCC_MEM mmioFOURCC('M', 'E', 'M', ' ')

#ifndef SEEK_SET
#define SEEK_SET 0
#define SEEK_CUR 1
#define SEEK_END 2
#endif

#define FILE_BEGIN 0u
#define FILE_CURRENT 1u
#define FILE_END 2u
#define INVALID_SET_FILE_POINTER ((DWORD)0xFFFFFFFFu)

#define DLL_PROCESS_DETACH 0u
#define DLL_PROCESS_ATTACH 1u
#define DLL_THREAD_ATTACH 2u
#define DLL_THREAD_DETACH 3u

typedef struct _MMIOINFO {
  DWORD dwFlags;
  FOURCC fccIOProc;
  LPMMIOPROC pIOProc;
  UINT wErrorRet;
  HTASK htask;
  LONG cchBuffer;
  HPSTR pchBuffer;
  HPSTR pchNext;
  HPSTR pchEndRead;
  HPSTR pchEndWrite;
  LONG lBufOffset;
  LONG lDiskOffset;
  DWORD adwInfo[3];
  DWORD dwReserved1;
  DWORD dwReserved2;
  HMMIO hmmio;
} MMIOINFO, *LPMMIOINFO;

// 100-nanosecond intervals since 1601-01-01 (UTC).
typedef struct _FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
} FILETIME;

typedef struct _BY_HANDLE_FILE_INFORMATION {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD dwVolumeSerialNumber;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD nNumberOfLinks;
  DWORD nFileIndexHigh;
  DWORD nFileIndexLow;
} BY_HANDLE_FILE_INFORMATION, *LPBY_HANDLE_FILE_INFORMATION;

#ifdef __cplusplus
extern "C" {
#endif

// Local memory. Movable blocks are known by a handle; a zero-byte movable
// block exists but cannot be locked, as on Windows.
KALDORIN_PLATFORM_API HLOCAL LocalAlloc(UINT flags, SIZE_T bytes);
KALDORIN_PLATFORM_API LPVOID LocalLock(HLOCAL mem);
KALDORIN_PLATFORM_API BOOL LocalUnlock(HLOCAL mem);
KALDORIN_PLATFORM_API HLOCAL LocalFree(HLOCAL mem);
KALDORIN_PLATFORM_API SIZE_T LocalSize(HLOCAL mem);

// Multimedia file I/O over named files and memory files (FOURCC_MEM).
// mmioGetInfo of a named file gives its handle in adwInfo[0], as the
// Windows file procedure keeps it there.
KALDORIN_PLATFORM_API HMMIO mmioOpenA(LPSTR name, LPMMIOINFO info, DWORD flags);
// The same with a UTF-16 name, opened as the file system's UTF-8 name; a
// name that is not valid UTF-16 (an unpaired surrogate) cannot be opened.
KALDORIN_PLATFORM_API HMMIO mmioOpenW(LPWSTR name, LPMMIOINFO info, DWORD flags);
KALDORIN_PLATFORM_API LONG mmioRead(HMMIO h, HPSTR buf, LONG n);
KALDORIN_PLATFORM_API LONG mmioWrite(HMMIO h, const char* buf, LONG n);
KALDORIN_PLATFORM_API LONG mmioSeek(HMMIO h, LONG offset, int origin);
KALDORIN_PLATFORM_API MMRESULT mmioGetInfo(HMMIO h, LPMMIOINFO info, UINT flags);
KALDORIN_PLATFORM_API MMRESULT mmioClose(HMMIO h, UINT flags);

// Host file handles. Natively a handle is a file descriptor cast to HANDLE.
KALDORIN_PLATFORM_API BOOL ReadFile(HANDLE file, LPVOID buf, DWORD n, LPDWORD read, LPOVERLAPPED overlapped);
KALDORIN_PLATFORM_API DWORD SetFilePointer(HANDLE file, LONG distance, PLONG distanceHigh, DWORD method);
// The file's identity, size and times, from fstat: the device stands for the
// volume serial number, the inode for the file index, and the status change
// time for the creation time (natively it changes with every write).
KALDORIN_PLATFORM_API BOOL GetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION info);

// String comparison. Natively these compare bytes (case folded for ASCII
// letters only); Windows compares by locale, which gives the same equality
// for the letters, digits and full stops of member names.
KALDORIN_PLATFORM_API int lstrcmpA(LPCSTR a, LPCSTR b);
KALDORIN_PLATFORM_API int lstrcmpiA(LPCSTR a, LPCSTR b);

#ifdef __cplusplus
}
#endif

#endif
