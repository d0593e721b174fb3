// Sleeps for the milliseconds given as its argument (default 30000, at most
// 60000), so that a test that loses track of it still sees it end.
#include <windows.h>
#include <stdlib.h>

int main(int argc, char** argv)
{
    DWORD dwMilliseconds = argc > 1 ? (DWORD)strtoul(argv[1], NULL, 10) : 30000;
    if (dwMilliseconds > 60000)
        dwMilliseconds = 60000;
    ::Sleep(dwMilliseconds);
    return 0;
}
