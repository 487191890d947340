#include "cli/console.h"

int main(int argc, char** argv) {
  return tidewell::cli::Main(argc, argv);
}
