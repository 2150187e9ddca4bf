#include "front/run_flow.h"

int main() {
  brmark::run_program();
}
