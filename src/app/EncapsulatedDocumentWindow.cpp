#include "app/EncapsulatedDocumentWindow.h"

bool OpenEncapsulatedDocumentWindow(QWidget*, const std::string&, std::string* why) {
  if (why) *why = "encapsulated documents cannot be shown yet";
  return false;
}
