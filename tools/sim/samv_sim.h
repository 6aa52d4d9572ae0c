#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// Stand-in for a SAMV decode server: a TCP listener that answers the
// chunks the gateway relays, in one of several modes, with answers in the device framing
// (u32 LE L = bytes that follow, 8-byte key in clear, body masked with key[i mod 8] ^ (i mod 256)).
// Used in-process by the tests (CSamvSim) and by `cardgate-sim samv` (RunSamvSim in sim.h).

enum class SamvSimMode {
  Echo,       // every received chunk is written back as it came
  Card,       // card-read frames get a card answer, any other frame a 20-byte acknowledgement
  KeepAlive,  // a block of four zero bytes every keep-alive interval, and echo
  Refuse,     // nothing listens on the port: connections are refused
  Close,      // every connection is accepted and closed at once
  Silent,     // connections are accepted and read; nothing is ever sent
  Flood,      // as Card, but a card answer is followed by filler bytes without end, written as
              // fast as the peer takes them: a peer that stops reading fills its buffers
  Deaf,       // connections are accepted and never read: writes to them stall once the
              // (small) buffers are full
};

// What a card-read frame is answered with, in Card mode.
enum class SamvCardKind {
  Text,              // one 288-byte answer
  Photo,             // one 1311-byte answer
  Fingerprint,       // 1313 bytes, then after a pause (so it arrives as a read of its own) 1041
  FingerprintPart1,  // 1313 bytes only: the second part never comes
  PhotoStrayPart2,   // 1311 bytes, then after a pause a 1041-byte second part that belongs to none
};

// One block of a card answer, as the server writes it in one write.
enum class SamvAnswerBlock { Text, TextPhoto, FingerprintPart1, FingerprintPart2 };

// Sizes and offsets of card answers. Offsets count from the answer's first byte (the length
// word), in the unmasked answer; the body (masked on the wire) starts at kBodyOffset.
namespace SamvAnswer {
constexpr size_t kLengthOffset = 0;                      // u32 LE: bytes that follow
constexpr size_t kKeyOffset = kLengthOffset + 4;         // 8 bytes in clear
constexpr size_t kBodyOffset = kKeyOffset + 8;           // masked from here on
constexpr size_t kCommandOffset = kBodyOffset;           // the request's command code
constexpr size_t kTextLengthOffset = kBodyOffset + 4;    // u16 LE: 256
constexpr size_t kPhotoLengthOffset = kBodyOffset + 6;   // u16 LE: 1024 or 0
constexpr size_t kFingerLengthOffset = kBodyOffset + 8;  // u16 LE: fingerprint bytes in total
constexpr size_t kTextBlockSize = 256;
constexpr size_t kPhotoSize = 1024;
constexpr size_t kTextOffset = 30;                             // 288- and 1311-byte answers
constexpr size_t kPhotoOffset = kTextOffset + kTextBlockSize;  // 286
constexpr size_t kFingerprintTextOffset = 32;                  // 1313-byte answer
constexpr size_t kFingerprintPhotoOffset = kFingerprintTextOffset + kTextBlockSize;  // 288
constexpr size_t kTextSize = 288;
constexpr size_t kTextPhotoSize = 1311;
constexpr size_t kFingerprintPart1Size = 1313;
constexpr size_t kFingerprintPart2Size = 1041;
constexpr size_t kFingerprintPart2DataOffset = kBodyOffset + 4;  // fingerprint bytes to the end
constexpr size_t kAckSize = 20;  // command code, three zero bytes, u32 LE status 0
static_assert(kPhotoOffset == 286 && kFingerprintPhotoOffset == 288, "design offsets");
static_assert(kPhotoOffset + kPhotoSize < kTextPhotoSize, "photo fits the 1311-byte answer");
static_assert(kFingerprintPhotoOffset + kPhotoSize < kFingerprintPart1Size, "and the 1313");
}  // namespace SamvAnswer

// The 256-byte card text block: UCS-2 little-endian fields padded with blanks (U+0020). Every
// byte outside the fields (242..247, 250..255) is a blank too.
namespace SamvCardText {
constexpr size_t kName = 0;         // 30 bytes
constexpr size_t kGender = 30;      // 2
constexpr size_t kNation = 32;      // 4
constexpr size_t kBirthDate = 36;   // 16
constexpr size_t kCertAddr = 52;    // 70
constexpr size_t kCertNo = 122;     // 36
constexpr size_t kCertOrg = 158;    // 30
constexpr size_t kEffDate = 188;    // 16
constexpr size_t kExpDate = 204;    // 16
constexpr size_t kPassNum = 220;    // 18
constexpr size_t kSignCount = 238;  // 4
constexpr size_t kCertType = 248;   // 2
constexpr size_t kSize = 256;
}  // namespace SamvCardText

// The card's fields as UTF-8 text (converted to UCS-2 in the answer), and the photo.
struct SamvCardFields {
  std::string strName = "张三";
  std::string strGender = "1";
  std::string strNation = "01";
  std::string strBirth = "19800101";
  std::string strAddress = "北京市东城区正义路1号";
  std::string strCertNo = "110101198001010011";
  std::string strOrg = "北京市公安局东城分局";
  std::string strEff = "20200101";
  std::string strExp = "20400101";
  std::string strPassNum;
  std::string strSignCount;
  std::string strCertType;
  std::vector<uint8_t> arrPhoto;  // 1024 bytes, or empty for a deterministic pattern
};

// The option and card-file names of the fields: name, gender, nation, birth, address, cert-no,
// org, eff, exp, pass-num, sign-count, cert-type. Sets one field; false with *pstrError set when
// the name is unknown, the text is not valid UTF-8 of the Basic Multilingual Plane, or it does
// not fit its field (width in characters = field bytes / 2).
bool SetSamvCardField(SamvCardFields* pFields, const std::string& strKey,
                      const std::string& strValue, std::string* pstrError);
// Reads key=value lines (blank lines and lines starting with '#' skipped; blanks around key and
// value trimmed) and sets each field. False with *pstrError on an unreadable file or a bad line.
bool LoadSamvCardFile(const std::string& strPath, SamvCardFields* pFields, std::string* pstrError);
// Reads a photo file of exactly 1024 bytes into pFields->arrPhoto.
bool LoadSamvPhotoFile(const std::string& strPath, SamvCardFields* pFields, std::string* pstrError);

// UTF-8 to UCS-2 code units. False on invalid UTF-8 or a character beyond U+FFFF.
bool Utf8ToUcs2Units(const std::string& strText, std::vector<uint16_t>* pUnits);
// The 256-byte text block of the fields. REQUIRES: every field fits (SetSamvCardField checks);
// a field that does not is cut to its width.
std::vector<uint8_t> BuildCardTextBlock(const SamvCardFields& fields);
// The 1024 photo bytes: the fields' photo, or the pattern byte i = (7 i + 3) mod 256.
std::vector<uint8_t> SamvPhotoBytes(const SamvCardFields& fields);

// A framed block: L = 8 + body size, the key, the body masked with the key.
std::vector<uint8_t> BuildSamvFrame(const uint8_t* pKey, const std::vector<uint8_t>& body);
// One card answer block (sizes 288, 1311, 1313, 1041), masked with pKey (8 bytes).
std::vector<uint8_t> BuildCardAnswer(SamvAnswerBlock eBlock, const SamvCardFields& fields,
                                     const uint8_t* pKey, uint8_t byCommand = 1);
// The blocks a card-read request is answered with, in order.
std::vector<std::vector<uint8_t>> BuildCardAnswers(SamvCardKind eKind, const SamvCardFields& fields,
                                                   const uint8_t* pKey, uint8_t byCommand = 1);
// The 20-byte acknowledgement of any other frame.
std::vector<uint8_t> BuildSamvAck(uint8_t byCommand, const uint8_t* pKey);
// Command codes of the card-read group: 1, 9, 14, 59, 71, 78.
bool IsCardReadCommand(uint8_t byCommand);

bool ParseSamvSimMode(const std::string& strText, SamvSimMode* pMode);
const char* SamvSimModeName(SamvSimMode eMode);
bool ParseSamvCardKind(const std::string& strText, SamvCardKind* pKind);
const char* SamvCardKindName(SamvCardKind eKind);

struct SamvSimOptions {
  std::string strBindAddress = "127.0.0.1";
  uint16_t unPort = 0;  // 0: the system picks one (see CSamvSim::Port)
  SamvSimMode eMode = SamvSimMode::Echo;
  SamvCardKind eCardKind = SamvCardKind::Text;
  SamvCardFields stCard;
  uint32_t unKeepAliveMs = 1000;  // KeepAlive mode: interval of the zero block
  uint32_t unPart2DelayMs = 50;   // Fingerprint: pause before the 1041-byte part
  uint32_t unAnswerDelayMs = 0;   // Card, Flood: pause between a card-read frame and its answer
  // A server that hangs up mid-session: when this many frames have come on one connection, the
  // last of them is left unanswered and the connection is closed (0: never). Any mode that reads.
  uint32_t unCloseAfterFrames = 0;
  // Called on the simulator's thread with one line per event (no line end); empty: silent.
  std::function<void(const std::string&)> fnEvent;
};

// One simulated SAMV server on one port, run by a thread of its own (Asio, asynchronous). The
// counters and Chunks may be read from any thread while it runs.
class CSamvSim {
 public:
  // Binds and listens, then starts the thread. Throws boost::system::system_error when the
  // address cannot be bound. In Refuse mode nothing listens: with port 0 a free port is found
  // (bound, read back and released) so that connecting to Port() is refused.
  explicit CSamvSim(const SamvSimOptions& options);
  ~CSamvSim();  // Stop()
  CSamvSim(const CSamvSim&) = delete;
  CSamvSim& operator=(const CSamvSim&) = delete;

  uint16_t Port() const;
  // Closes the listener and every connection and joins the thread. Safe to call twice.
  void Stop();

  uint32_t Accepted() const;         // connections accepted
  uint32_t Closed() const;           // connections ended (by either side or by Stop)
  uint32_t OpenConnections() const;  // Accepted() - Closed()
  uint32_t FramesReceived() const;   // chunks that parsed as a frame
  uint32_t AnswersSent() const;      // card answer blocks and acknowledgements written
  uint32_t KeepAlivesSent() const;   // zero blocks written
  uint64_t BytesReceived() const;
  // The chunks received so far, in order (the latest 4096), and the command codes of the frames.
  std::vector<std::vector<uint8_t>> Chunks() const;
  std::vector<uint8_t> CommandCodes() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> m_upImpl;
};
