#include "config/user_struct.h"

#include <cstring>

#include "config/byte_io.h"

void EncodeUser(const UserStruct& user, uint8_t* pOut) {
  PutLe32(pOut + UserLayout::kAccountNo, user.unAccountNo);
  std::memcpy(pOut + UserLayout::kPassword, user.szPassword, sizeof(user.szPassword));
  PutLe32(pOut + UserLayout::kType, user.unType);
  PutLe32(pOut + UserLayout::kIndex, user.unIndex);
}

void DecodeUser(const uint8_t* pIn, UserStruct* pUser) {
  pUser->unAccountNo = GetLe32(pIn + UserLayout::kAccountNo);
  std::memcpy(pUser->szPassword, pIn + UserLayout::kPassword, sizeof(pUser->szPassword));
  pUser->unType = GetLe32(pIn + UserLayout::kType);
  pUser->unIndex = GetLe32(pIn + UserLayout::kIndex);
}
