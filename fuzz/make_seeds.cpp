// Writes the binary seed corpora of the fuzz targets: device frames as the tests send them,
// management replies as a module sends them, captured card answers as the SAMV simulator builds
// them, and card text. Each in the input form its target documents (bodies in clear).
//   cardgate_fuzz_seeds <corpus directory>
// The INI seeds of fuzz_config_files are plain files kept in the corpus as they are.
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "config/byte_io.h"
#include "core/device_frame.h"
#include "mgmt/mcu_rtc_record.h"
#include "samv_sim.h"
#include "support/loopback.h"

namespace {

using Bytes = std::vector<uint8_t>;

const uint8_t kKey[8] = {0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE};
std::string g_strRoot;
int g_nFailures = 0;

void Put(const std::string& strTarget, const std::string& strName, const Bytes& data) {
  std::string strDir = g_strRoot + "/" + strTarget;
  ::mkdir(g_strRoot.c_str(), 0755);
  ::mkdir(strDir.c_str(), 0755);
  std::string strPath = strDir + "/" + strName;
  FILE* pFile = std::fopen(strPath.c_str(), "wb");
  if (pFile == nullptr || std::fwrite(data.data(), 1, data.size(), pFile) != data.size()) {
    std::fprintf(stderr, "cannot write %s\n", strPath.c_str());
    ++g_nFailures;
  }
  if (pFile != nullptr) {
    std::fclose(pFile);
  }
}

// A device request as the tests build it, with its body unmasked again: the device target
// masks what it is given.
Bytes PlainRequest(uint8_t byCommand, const uint8_t* pParam, const Bytes& payload) {
  Bytes frame = MakeDeviceRequest(kKey, byCommand, pParam, payload);
  MaskDeviceBody(frame.data() + 12, frame.size() - 12, kKey);
  return frame;
}

Bytes LoginPayload(uint32_t unAccount, const char* szPassword, size_t unLength) {
  Bytes p(unLength, 0);
  for (size_t i = 0; i < 32 && i < p.size(); ++i) {
    p[i] = static_cast<uint8_t>(0xC0 + i);
  }
  if (p.size() >= 54) {
    PutLe32(p.data() + 34, unAccount);
    std::memcpy(p.data() + 38, szPassword, std::min<size_t>(std::strlen(szPassword), 16));
  }
  if (p.size() >= 182) {
    std::memset(p.data() + 54, 0x55, 64);
    std::memcpy(p.data() + 118, "DEV-01", 6);
  }
  if (p.size() >= 200) {
    std::memcpy(p.data() + 182, "{\"order\":7}", 11);
  }
  return p;
}

Bytes AdminPayload(const char* szUser, const char* szPassword, size_t unExtra) {
  Bytes p(724 + unExtra, 0);
  std::memcpy(p.data(), szUser, std::strlen(szUser));
  std::memcpy(p.data() + 32, szPassword, std::strlen(szPassword));
  return p;
}

void DeviceSeeds() {
  const uint8_t kRead[8] = {0};
  const uint8_t kWrite[8] = {1};
  uint8_t arrFrom36[8] = {0};
  PutLe32(arrFrom36 + 4, 36);
  const std::string t = "fuzz_device_data";
  Put(t, "login_ok", PlainRequest(1, kRead, LoginPayload(1001, "pass1001", 1206)));
  Put(t, "login_short", PlainRequest(9, kRead, LoginPayload(1001, "pass1001", 181)));
  Put(t, "login_listed_only", PlainRequest(14, kRead, LoginPayload(1002, "pass1002", 182)));
  Put(t, "login_16_chars", PlainRequest(78, kRead, LoginPayload(1004, "0123456789abcdef", 1206)));
  Put(t, "config_read", PlainRequest(81, kRead, AdminPayload("admin", "admin123", 0)));
  Bytes config = AdminPayload("admin", "admin123", 0);
  std::memcpy(config.data() + 48, "127.0.0.2", 9);
  PutLe32(config.data() + 64, 16201);
  std::memcpy(config.data() + 68, "newpass", 7);
  std::memcpy(config.data() + 84, "/other", 6);
  std::memcpy(config.data() + 468, "fedcba9876543210", 16);
  Put(t, "config_write", PlainRequest(81, kWrite, config));
  Put(t, "users_read", PlainRequest(82, kRead, AdminPayload("admin", "admin123", 0)));
  Put(t, "users_read_from_36", PlainRequest(82, arrFrom36, AdminPayload("admin", "admin123", 0)));
  Bytes user = AdminPayload("admin", "admin123", 28);
  PutLe32(user.data() + 724, 2001);
  std::memcpy(user.data() + 728, "newuser", 7);
  Put(t, "users_write", PlainRequest(82, kWrite, user));
  Put(t, "admin_check", PlainRequest(83, kRead, AdminPayload("admin", "admin123", 0)));
  Put(t, "admin_wrong", PlainRequest(83, kRead, AdminPayload("admin", "wrong", 0)));
  Put(t, "other_command", PlainRequest(4, kRead, Bytes(10, 7)));
  Put(t, "short_chunk", Bytes(23, 0xFF));
}

// flags, then the reply in clear with room for its length and checksum bytes.
Bytes McuSeed(uint8_t byFlags, const Bytes& body) {
  Bytes seed;
  seed.push_back(byFlags);
  seed.push_back(0);  // length: set by the target
  seed.insert(seed.end(), body.begin(), body.end());
  seed.push_back(0);  // checksum: set by the target
  return seed;
}

void McuSeeds() {
  const std::string t = "fuzz_mcu_reply";
  const uint8_t kWellFormed = 0x07;
  Put(t, "serial_no",
      McuSeed(kWellFormed | 0x00, {1, 0, 8, 0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0}));
  Put(t, "serial_no_long", McuSeed(kWellFormed | 0x40, Bytes{2, 0, 250}));
  McuRtcRecord rec = {2026, 1, 2, 3, 4, 5, {0}};
  Bytes clock = {3, 0, 12};
  clock.resize(3 + McuRtcLayout::kSize);
  EncodeMcuRtc(rec, clock.data() + 3);
  Put(t, "clock_read", McuSeed(kWellFormed | 0x10, clock));
  Put(t, "clock_set", McuSeed(kWellFormed | 0x20, clock));
  Put(t, "restart", McuSeed(kWellFormed | 0x30, {4, 0, 0}));
  Put(t, "module_error", McuSeed(kWellFormed | 0x30, {5, 1, 1, 9}));
  Put(t, "bad_checksum", Bytes{0x01, 0x04, 0x11, 0x22, 0x33, 0x44});
  Put(t, "empty_reply", Bytes{0x00, 0x00});
}

// flags, captured length, clock, device identifier, transaction data, then the answer with its
// body in clear.
Bytes CardSeed(uint8_t byFlags, uint32_t unCaptured, const Bytes& answer) {
  Bytes seed(9, 0);
  seed[0] = byFlags;
  PutLe32(seed.data() + 1, unCaptured);
  PutLe32(seed.data() + 5, 3723456789u);
  const char kDevice[] = "DEV-01";
  seed.push_back(sizeof(kDevice) - 1);
  seed.insert(seed.end(), kDevice, kDevice + sizeof(kDevice) - 1);
  const char kTrans[] = "{\"order\":7}";
  seed.push_back(sizeof(kTrans) - 1);
  seed.push_back(0);
  seed.insert(seed.end(), kTrans, kTrans + sizeof(kTrans) - 1);
  Bytes plain = answer;
  uint32_t unL = GetLe32(plain.data());
  MaskDeviceBody(plain.data() + 12, std::min<size_t>(unL - 8, plain.size() - 12), plain.data() + 4);
  seed.insert(seed.end(), plain.begin(), plain.end());
  return seed;
}

void CardSeeds() {
  const std::string t = "fuzz_card_document";
  SamvCardFields fields;
  Bytes text = BuildCardAnswer(SamvAnswerBlock::Text, fields, kKey);
  Bytes photo = BuildCardAnswer(SamvAnswerBlock::TextPhoto, fields, kKey);
  Bytes part1 = BuildCardAnswer(SamvAnswerBlock::FingerprintPart1, fields, kKey);
  Bytes part2 = BuildCardAnswer(SamvAnswerBlock::FingerprintPart2, fields, kKey);
  Put(t, "text", CardSeed(0x00, static_cast<uint32_t>(text.size()), text));
  Put(t, "text_photo", CardSeed(0x01, static_cast<uint32_t>(photo.size()), photo));
  // A fingerprint capture holds both blocks one after the other; only the first is unmasked.
  Bytes both = part1;
  both.insert(both.end(), part2.begin(), part2.end());
  Put(t, "fingerprint", CardSeed(0x02, static_cast<uint32_t>(both.size()), both));
  Put(t, "unfinished_fingerprint", CardSeed(0x3B, static_cast<uint32_t>(part1.size()), part1));
}

void TextSeeds() {
  const std::string t = "fuzz_ucs2_text";
  SamvCardFields fields;
  fields.strName = "欧阳·娜娜";
  Bytes block = BuildCardTextBlock(fields);
  Bytes name(block.begin(), block.begin() + 30);
  name.insert(name.begin(), 255);
  Put(t, "name_field", name);
  Bytes whole = block;
  whole.insert(whole.begin(), 63);
  Put(t, "text_block_small_output", whole);
  Put(t, "ascii_digits", Bytes{20, '1', 0, '9', 0, '8', 0, ' ', 0, '0', 0});
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <corpus directory>\n", argv[0]);
    return 2;
  }
  g_strRoot = argv[1];
  DeviceSeeds();
  McuSeeds();
  CardSeeds();
  TextSeeds();
  return g_nFailures == 0 ? 0 : 1;
}
