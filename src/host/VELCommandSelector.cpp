#include "host/VELCommandSelector.h"

VELCommandSelector::VELCommandSelector() : VELCommand(nullptr, "VELCommandSelector") {}

VELCommand* VELCommandSelector::GetCommandSelectorInstance() {
  // Deliberately leaked: commands created during static destruction may still name it as their parent.
  static VELCommandSelector* instance = new VELCommandSelector();
  return instance;
}
