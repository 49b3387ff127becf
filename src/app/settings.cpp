#include "settings.h"

config Settings;
