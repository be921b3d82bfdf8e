// What the process entry starts once the class object is registered, and
// stops before the process ends.
#pragma once

void StartServing();
// Ends the device update thread before static destruction begins, so that it
// never samples a generator bank that is already gone.
void StopServing();
