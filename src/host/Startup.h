// What the process entry starts once the class object is registered: the
// advise-record factory, the simulated item set and the device update thread.
#pragma once

void StartServing();
