#include "event_pacer.h"
