#include "app/driver.h"
#include "platform/files.h"

int main(int argc, char** argv) {
  kelvaring::platform::portableArguments(argc, argv);
  return kelvaring::runProgram(argc, argv);
}
