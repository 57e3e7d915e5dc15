// Hanging protocols in the grid.
#include "app/Unit1.h"

bool TForm1::ApplyHanging(int, int, int, int) {
  return false;
}
void TForm1::StepProtocol(int) {}
void TForm1::StepStage(int) {}
