// The descriptors of the components that the program knows: the view manager (271, nine methods,
// interface version 2) and the object registry (274, three methods, interface version 1; the
// program has no proxy for it and never calls it). Each is one static instance, made on first
// use.
//
// Thread-safety: the descriptors are immutable; see component_info.h for the registry.
#pragma once

#include "enterprise/common/ipc/component_info.h"

namespace Kivo::ViewManagement {

/// The descriptor of component 271.
const Core::ComponentInfo& ViewManagerComponentInfo();
/// The descriptor of component 274.
const Core::ComponentInfo& ObjectRegistryComponentInfo();

/// Registers both descriptors (Core::RegisterComponentInfo); the program calls it at start-up.
void RegisterComponentDescriptors();

}  // namespace Kivo::ViewManagement
