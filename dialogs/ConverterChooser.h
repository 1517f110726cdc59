#pragma once
// The bench's question at start-up: several converters are attached and none was named, so
// the operator picks the one to use. Nothing is remembered for the next start.
#include <vector>

#include "link/DeviceSelection.h"

class D2xxLibrary;
class QWidget;

namespace gui {

// The list index chosen, or -1 when the operator cancels. Runs through RunModal, so a test's
// dialog driver answers it. The first converter that looks like a display's is preselected.
int ChooseConverter(QWidget* parent, const std::vector<converters::ListedConverter>& list);

// At start-up: with no converter named (--device, KESTRUNE_DEVICE) and several listed, asks
// and names the one chosen for every later open. False when the operator cancelled: none is
// named, and the front end must not open one behind the operator's back.
bool ChooseStartupConverter(QWidget* parent, D2xxLibrary& library);

// Before anything is written to a converter: true (after a box saying so) when several are
// attached and none was chosen, as the command line refuses it.
bool RefuseUnchosenConverter(QWidget* parent, D2xxLibrary& library);

// One row as the list shows it (and a screen reader reads it).
std::string ConverterRowText(const converters::ListedConverter& converter);

} // namespace gui
