#include "kestrun/Globals.h"

std::string vqDefaultKestrun1Path;
std::string vqDefaultKestrun2Path;
std::string vqDefaultInstLockFile;
std::string vqDefaultInstPlistFile;
std::string vqDefaultUninstallerPath;
std::string vqDefaultLaunchFullPath;
