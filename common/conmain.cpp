// The program entry, kept apart from the frame so that test programs can
// link the frame with their own main.
#include "common/conapp.h"

int main(int argc, char** argv)
{
    return CConsoleApp::RunMain(argc, argv);
}
