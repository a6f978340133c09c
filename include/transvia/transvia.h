#pragma once

// Everything a host needs: the entries, their records and interfaces, errors and directory objects.
#include "transvia/api.h"
#include "transvia/codes.h"
#include "transvia/devices.h"
#include "transvia/dir.h"
#include "transvia/error.h"
#include "transvia/string.h"
#include "transvia/trace.h"
