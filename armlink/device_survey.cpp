#include "device_survey.h"
