#include "arm_link.h"
