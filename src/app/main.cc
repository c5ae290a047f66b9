#include "app/driver.h"

int main(int argc, char** argv) { return kelvaring::runProgram(argc, argv); }
