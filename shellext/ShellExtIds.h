// Identifiers of the context-menu handler and of its type library.
#pragma once

#include "com/Ole.h"

namespace shellext {

// {603C8761-BC91-4E97-8862-77B8204317FA}
inline constexpr CLSID kClsidDownloaderShellExt = {
    0x603c8761, 0xbc91, 0x4e97, {0x88, 0x62, 0x77, 0xb8, 0x20, 0x43, 0x17, 0xfa}};
// {AA3DB6C1-E127-49C5-AB4D-7CB3F2404248}
inline constexpr GUID kLibIdTolvaShell = {
    0xaa3db6c1, 0xe127, 0x49c5, {0xab, 0x4d, 0x7c, 0xb3, 0xf2, 0x40, 0x42, 0x48}};

inline constexpr int kDownloadBitmapId = 201;
inline constexpr int kDownloadIntoBitmapId = 202;

}  // namespace shellext
