#include "host/Startup.h"

void StartServing() {}
