#include "links/link_factory.h"

#include "links/dante_if.h"
#include "links/hal_midi.h"
#include "links/nimbra_midi.h"
#include "links/vxusb.h"

namespace {

void DestroyVxUsb(CVXUSB* card) {
    card->Close();
    delete card;
}

}  // namespace

VXUSBHandle OpenVxUsbCard(uint16_t connection) {
    VXUSBHandle card(new CVXUSB, VXUSBDeleter{DestroyVxUsb});
    if (!card->Open(connection)) card.reset();
    return card;
}

VXUSBHandle DefaultLinkFactory::OpenUsbCard(uint16_t connection) { return OpenVxUsbCard(connection); }

std::unique_ptr<CNimbraInterface> DefaultLinkFactory::CreateLink(uint16_t linkType) {
    switch (linkType) {
    case kLinkTypeDriver: return std::make_unique<CHalMIDI>();
    case kLinkTypeMidi: return std::make_unique<CNimbraMIDI>();
    case kLinkTypeDante: return std::make_unique<CDanteIF>();
    default: return nullptr;
    }
}

namespace {
LinkFactory* g_links = nullptr;
}  // namespace

LinkFactory& DefaultLinks() {
    static DefaultLinkFactory factory;
    return g_links != nullptr ? *g_links : factory;
}

ScopedDefaultLinks::ScopedDefaultLinks(LinkFactory& links) : m_previous(g_links) { g_links = &links; }
ScopedDefaultLinks::~ScopedDefaultLinks() { g_links = m_previous; }
