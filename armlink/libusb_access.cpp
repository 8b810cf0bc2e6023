#include "usb_access.h"
