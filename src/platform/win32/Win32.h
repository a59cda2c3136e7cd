// Everything of the original's Win32 and C runtime that the component calls: files and folders,
// last error, wide-path file streams, the performance counter.
#pragma once

#include "platform/win32/FileApi.h"
#include "platform/win32/LastError.h"
#include "platform/win32/PerformanceCounter.h"
#include "platform/win32/Stdio.h"
#include "platform/win32/Win32Types.h"
