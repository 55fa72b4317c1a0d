// The one card session of the process, shared by every thread that calls in.
#include "card/card_files.h"
#include "card/reader_session.h"

namespace kelm::card {
namespace {

CardSession g_session{0, 0, 0, 0, nullptr, {}, nullptr, {}, 0, CARD_TYPE_NONE, READER_TYPE_PLAIN, 0};

}  // namespace

CardSession& Session() { return g_session; }

}  // namespace kelm::card
