// The result codes every operation of the library returns: 0 or more is success, negative is failure.
#ifndef VELP2P_VELRESULT_H
#define VELP2P_VELRESULT_H

#include <cstdint>

#include "velp2p/VELExport.h"

typedef int32_t VELResult;

#define VEL_S_OK ((VELResult)0)
// The generic failure, used for every refusal unless a more precise code is listed here.
#define VEL_E_FAIL ((VELResult)0x80004005)
// An interface query for an interface that the object does not implement.
#define VEL_E_NOINTERFACE ((VELResult)0x80004002)
// An allocation failed (creation by class name).
#define VEL_E_OUTOFMEMORY ((VELResult)0x8000FFFF)
// No class of that name is registered.
#define VEL_E_CLASSNOTREG ((VELResult)0x80040154)

#define VEL_SUCCEEDED(r) ((VELResult)(r) >= 0)
#define VEL_FAILED(r) ((VELResult)(r) < 0)

// A short English text for a result code, for messages and logs.
VELP2P_API const char* VELResultMessage(VELResult result);

#endif
