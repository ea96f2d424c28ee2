// Core::ComponentInfo: what the program knows about a component of a service (its identifier,
// its methods, its interface version), and the process-wide registry of these descriptors.
//
// The program registers the descriptors of the components it knows at start-up
// (Kivo::ViewManagement::RegisterComponentDescriptors); registering an identifier that is
// already present replaces the stored descriptor. Registered descriptors must live for the rest
// of the process.
//
// Thread-safety: descriptors are immutable; the registry may be used from any thread (one lock,
// created on first use).
#pragma once

#include <cstdint>

#include "core/common/error/error.h"
#include "core/common/noncopyable.h"
#include "core/common/source_location.h"

namespace Core {

/// A method number that the component does not have.
inline constexpr uint32_t kUnknownMethod = 0xB9000C;

/// The information record of one method: two words, the same for every method known so far.
struct MethodInfo {
    uint32_t first = 0;
    uint32_t second = 2;
};

/// See the file comment.
class ComponentInfo : private Common::NonCopyable {
  public:
    virtual ~ComponentInfo() = default;
    /// The component's identifier within a service.
    virtual uint32_t GetComponentID() const = 0;
    /// The information of method `method` (1-based); kUnknownMethod for a number outside the
    /// component's methods, leaving `info` as it was.
    virtual Common::Error GetMethodInfo(uint32_t method, MethodInfo& info) const = 0;
    /// The component's current interface version.
    virtual uint32_t GetInterfaceVersion() const = 0;
};

/// GetMethodInfo of a component with methods 1 to `methodCount`: an unknown method is the error
/// kUnknownMethod (no message) raised at `unknownPlace`.
Common::Error DescribeMethod(uint32_t method, uint32_t methodCount,
                             const Common::SourceLocation& unknownPlace, MethodInfo& info);

/// Registers `info` under its identifier, replacing a descriptor registered before.
void RegisterComponentInfo(const ComponentInfo& info);

/// The descriptor registered under `componentId`; null when there is none.
const ComponentInfo* FindComponentInfo(uint32_t componentId);

}  // namespace Core
