#include "installer.h"

int main() { RunInstaller(); }
