// The AMI path of the update (romshell only).
#pragma once

#include "app/result_codes.h"

ResultCode RunAmiUpdate(char* commandLine);
