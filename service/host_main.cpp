#include "entry.h"

int wmain(int argc, wchar_t* argv[])
{
    return hostMain(argc, argv);
}
