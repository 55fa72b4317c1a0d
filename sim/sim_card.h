// One simulated RSA card: its state (the card model) and the image file it persists to.
// Front ends (the in-process PC/SC backend, the vpcd bridge) drive it through these calls only.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "kelm/windows_types.h"

namespace kelm::sim {

struct SimCard;                              // one card: its model and the image file it persists to
void FreeSimCard(SimCard* card);             // so std::unique_ptr<SimCard, ...> works with an incomplete type
using SimCardPtr = std::unique_ptr<SimCard, void (*)(SimCard*)>;
SimCardPtr OpenCardImage(const std::string& path, std::string* error);   // null + a clear error for a missing/corrupt image
std::vector<BYTE> CardAtr(const SimCard& card);                          // matches the card's protocol (T=0 or T=1)
void CardPowerOn(SimCard& card);
void CardPowerOff(SimCard& card);                                        // ends the PIN-verified state
void CardReset(SimCard& card);                                           // ends the PIN-verified state
// Response APDU: data then SW1 SW2. A card with an image file reads it again under the image's
// lock before each command and saves it after every change, so that processes sharing an image
// see one card; a change that cannot be saved answers 65 81.
std::vector<BYTE> CardExchange(SimCard& card, const BYTE* apdu, size_t length);

// What a fresh card is made of. The application identifier, key-file count, container capacity
// and key size follow from the type.
enum class CardProtocol { T0, T1 };
struct NewCardOptions {
    int type = 1;                          // 1, 3, 5, 6 or 7
    CardProtocol protocol = CardProtocol::T1;
    std::string pin = "12345678";          // 1 to 16 characters
    bool pin_pad = false;                  // the reader has a PIN pad
    std::string pin_pad_entry;             // what the user types on that pad
    std::vector<BYTE> required_cert_code;  // empty: any 8-byte certificate code is accepted
};

// Makes a new card and writes its image to `path` (refuses to overwrite an existing file).
// An empty path makes a card that lives in memory only.
SimCardPtr NewCardImage(const std::string& path, const NewCardOptions& options, std::string* error);

// Read-only facts for front ends and tools.
int CardType(const SimCard& card);
CardProtocol CardProtocolOf(const SimCard& card);
DWORD CardPcscProtocol(const SimCard& card);   // SCARD_PROTOCOL_T0 or SCARD_PROTOCOL_T1
const std::string& CardImagePath(const SimCard& card);
// A human-readable summary: PIN tries, containers, key files, keys and certificates.
std::string DescribeCard(const SimCard& card);

// Setup for tests: the certificate code the card requires (empty: any) and the PIN-pad entry.
// False and a message when the image cannot be saved.
bool SetRequiredCertCode(SimCard& card, const std::vector<BYTE>& code, std::string* error = nullptr);
bool SetPinPad(SimCard& card, bool present, const std::string& entry, std::string* error = nullptr);

// Direct setup of a card's contents, without PIN or commands: for tests and tools that need a
// card with containers, keys and certificates already on it. Each changes the image as its file
// holds it now, under the image's lock, and saves it; false and a message when the request does
// not fit the card or the image cannot be saved.
bool AddKeyFile(SimCard& card, WORD id, BYTE kind, std::string* error);       // size code by card type
bool PutNewKey(SimCard& card, WORD id, std::string* error);                  // creates the file if missing
bool PutCertificate(SimCard& card, WORD id, const std::vector<BYTE>& der, std::string* error);
bool AddContainer(SimCard& card, const std::string& name, WORD signature_file, WORD exchange_file, std::string* error);

// What a card holds as of its last command or change, read directly for tests and tools.
int PinTriesLeft(const SimCard& card);
bool PinVerified(const SimCard& card);
// The public key in a key file (big-endian modulus and exponent); false when there is none.
bool PublicKeyOf(const SimCard& card, WORD id, std::vector<BYTE>* modulus, std::vector<BYTE>* exponent);
// The certificate stored in a key file and the code that came with it (empty when none).
std::vector<BYTE> CertificateOf(const SimCard& card, WORD id);
std::vector<BYTE> CertCodeOf(const SimCard& card, WORD id);
// Container names with their key files (slot 1, slot 2; 0 = none), in directory order.
struct ContainerInfo {
    std::string name;
    WORD signature_file = 0;
    WORD exchange_file = 0;
};
std::vector<ContainerInfo> ContainersOf(const SimCard& card);

}  // namespace kelm::sim
