#pragma once

int RunClient(int argc, wchar_t** argv);
