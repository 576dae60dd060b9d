#include "kestrun/main.h"

int main(int argc, char* argv[]) { return KestrunMain(argc, argv); }
