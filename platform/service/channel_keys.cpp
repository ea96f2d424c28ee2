#include "platform/service/channel_keys.h"

#include <utility>

#include "enterprise/common/zaph/decorators.h"
#include "enterprise/common/zaph/item_processor.h"
#include "enterprise/common/zaph/unit_factory.h"

namespace KivoService {
namespace {

const Zaph::Name kChannelId = Zaph::Name::Literal("ChannelID");

// The traits of a Key without its own "ChannelID", then the channel's.
class ChannelTraits final : public Zaph::View::Traits {
  public:
    ChannelTraits(const Zaph::View::Traits& keyTraits, const Zaph::View::Trait& channel)
        : others_(keyTraits, kChannelId, true), channel_(channel) {}

    void ForEachNamed(const Zaph::Name& name,
                      Zaph::ItemProcessor<const Zaph::View::Trait>& processor) const override {
        if (name == kChannelId)
            processor.Process(channel_);
        else
            others_.ForEachNamed(name, processor);
    }

    void ForEach(Zaph::ItemProcessor<const Zaph::View::Trait>& processor) const override {
        bool stopped = false;
        auto forward = Zaph::MakeProcessor<const Zaph::View::Trait>(
            [&](const Zaph::View::Trait& trait) { return stopped = processor.Process(trait); });
        others_.ForEach(forward);
        if (!stopped)
            processor.Process(channel_);
    }

  private:
    Zaph::View::SieveTraits others_;
    const Zaph::View::Trait& channel_;
};

// Holds what a ChannelKey shows, so that it is set before the decorator is built.
struct ChannelKeyParts {
    Zaph::View::SharedUnitPtr key;
    Zaph::View::TraitPtr channel;
};

class ChannelKey final : private ChannelKeyParts, public Zaph::View::DelegatingUnit {
  public:
    ChannelKey(Zaph::View::SharedUnitPtr shared, uint32_t interest)
        : ChannelKeyParts{std::move(shared),
                          Zaph::Construction::DefaultUnitFactory().CreateTrait(
                              kChannelId,
                              Zaph::Construction::DefaultUnitFactory().CreateDWord(interest))},
          DelegatingUnit(*key),
          traits_(key->GetTraits(), *channel) {}

    const Zaph::View::Traits& GetTraits() const override { return traits_; }

  private:
    ChannelTraits traits_;
};

}  // namespace

Zaph::View::SharedUnitPtr MarkChannel(Zaph::View::SharedUnitPtr key, uint32_t interest) {
    return std::make_shared<ChannelKey>(std::move(key), interest);
}

Kivo::ViewManagement::ViewUpdate ChannelMarker(uint32_t interest, const char* marker,
                                               const Common::Error& error) {
    Zaph::Construction::InMemoryUnitFactory& factory = Zaph::Construction::DefaultUnitFactory();
    Zaph::Construction::UnitPtr key = factory.CreateError(error);
    key->GetTraits().Add(factory.CreateTrait(kChannelId, factory.CreateDWord(interest)));
    key->GetTraits().Add(factory.CreateTrait(Zaph::Name(marker), factory.CreateNil()));
    Kivo::ViewManagement::ViewUpdate update;
    update.Type = 0;
    update.Key = std::move(key);
    return update;
}

}  // namespace KivoService
