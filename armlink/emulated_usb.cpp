#include "emulated_usb.h"
