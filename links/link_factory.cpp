#include "links/link_factory.h"

#include "links/hal_midi.h"
#include "links/nimbra_midi.h"

std::unique_ptr<CNimbraInterface> DefaultLinkFactory::CreateLink(uint16_t linkType) {
    switch (linkType) {
        case kLinkTypeDriver:
            return std::make_unique<CHalMIDI>();
        case kLinkTypeMidi:
            return std::make_unique<CNimbraMIDI>();
        default:
            return nullptr;
    }
}

LinkFactory& DefaultLinks() {
    static DefaultLinkFactory factory;
    return factory;
}
