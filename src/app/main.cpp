// The program's entry.
#include "app/MarrowtillanceApp.h"

int main(int argc, char** argv) { return MarrowtillanceApp::main(argc, argv); }
