#include "manual_control.h"
