#include "velp2p/VELCommand.h"

VELCommand::VELCommand(VELCommand* parent, const char* name) : _parent(parent), _name(name ? name : "") {}

VELCommand::~VELCommand() = default;

const char* VELCommand::GetName() const {
  return _name.c_str();
}

VELCommand* VELCommand::GetParent() const {
  return _parent;
}
