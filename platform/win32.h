// The Win32 API subset the components are written against.
//
// On Windows this is <windows.h> and nothing else. On POSIX it declares our own implementation
// of exactly the subset the components call, with the same names, types, constants, return
// conventions and GetLastError codes, so that component code reads the same on both.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else

#include <cstdint>

// Fixed-width Win32 types. DWORD is 32 bits on every Win32 ABI, so it is not `unsigned long`.
using BOOL = int;
using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using UINT = unsigned int;
using LONG = std::int32_t;
using ULONG_PTR = std::uintptr_t;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;
using CHAR = char;
using LPSTR = char*;
using LPCSTR = const char*;
using LPVOID = void*;
using LPCVOID = const void*;
using LPDWORD = DWORD*;
using PVOID = void*;
using HANDLE = void*;
struct HWND__;
using HWND = HWND__*;
struct HKEY__;
using HKEY = HKEY__*;

constexpr BOOL TRUE = 1;
constexpr BOOL FALSE = 0;
constexpr DWORD MAXDWORD = 0xFFFFFFFFu;
constexpr DWORD INFINITE = 0xFFFFFFFFu;
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1)))

#endif // _WIN32
