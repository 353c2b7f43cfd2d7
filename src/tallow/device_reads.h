// Reads that both device operations make: the INF's model section, the hardware ID of a
// model line and a device's hardware-ID list.
#pragma once

#include <windows.h>
#include <setupapi.h>

#include "operations.h"
#include "strtools.h"
#include "unique_handle.h"

// Opens the INF at `openPath` into `inf` and finds the first line of its model section.
// Gives 0 on success; otherwise reports the failure (about `infPath`, the path as the
// caller was given it) and gives kInfNotFound or kSectionNotFound.
int OpenModelSection(CComStrTools& tools, const wchar_t* openPath, const wchar_t* infPath, const wchar_t* section,
                     InfFile& inf, INFCONTEXT& line);

// Field 2 of a model line, lower-cased. False for a line without field 2 and for one whose
// field 2 is empty: neither names a device.
bool ReadInfHardwareId(INFCONTEXT& line, wchar_t (&id)[MAX_PATH]);

// The device's SPDRP_HARDWAREID property. The buffer is cleared first, so that data without
// their terminators end where the data end. False when the property cannot be read.
bool ReadHardwareIdList(HDEVINFO set, SP_DEVINFO_DATA& device, wchar_t (&list)[MAX_PATH]);
