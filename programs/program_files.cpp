#include "program_files.h"
