#include "program_check.h"
