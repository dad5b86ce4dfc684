// The companion game client as the machine shows it: its registry key under the current user, its
// named mutex and the drives its downloads may go to.
#pragma once

#include <string>

namespace orvane {

// Written by the client's installer; the add-in only reads it.
inline constexpr wchar_t kClientKey[] = L"SOFTWARE\\Kestrin Network\\Game\\VemoOrvane";
// Created by the running client; the add-in only opens it. No namespace prefix: the client names it so.
inline constexpr wchar_t kClientMutex[] = L"VemoOrvane-CDE09814-3936-4def-AECC-BEBE144EFD93";

// A string value under HKEY_CURRENT_USER; the empty text whenever it is missing or not plain text.
std::wstring ReadUserRegistryString(const std::wstring& subKey, const std::wstring& valueName);

// The root of the fixed drive with the most free bytes for this user, or the empty text.
std::wstring FindFixedDriveWithMostSpace();

}  // namespace orvane
