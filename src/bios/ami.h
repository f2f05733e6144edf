// The AMI path of the update (romshell only).
#pragma once

#include "core/result_codes.h"

ResultCode RunAmiUpdate(char* commandLine);
