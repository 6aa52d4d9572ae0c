#include "net/samv_answer_stream.h"

#include <algorithm>
#include <cstring>

#include "config/byte_io.h"

uint32_t CSamvAnswerFramer::Next(const uint8_t* pData, uint32_t unCount, SamvFrame* pFrame,
                                 bool* pbEnded) {
  *pbEnded = false;
  uint32_t unTaken = 0;
  // The length word first; it may come over several reads.
  if (m_unSize == 0) {
    const uint32_t unHead = std::min(kLengthWordSize - m_unHave, unCount);
    std::memcpy(m_arrKeep + m_unHave, pData, unHead);
    m_unHave += unHead;
    unTaken = unHead;
    if (m_unHave < kLengthWordSize) {
      return unTaken;
    }
    const uint32_t unLengthWord = GetLe32(m_arrKeep);
    if (unLengthWord > kMaxLengthWord) {
      // Out of step: the rest of this read is one block as it came, and the next read begins a
      // frame. Handed out whole only when the block is this read's own bytes from its start.
      const bool bWholeRead = m_unHave == unTaken;
      pFrame->bUnframed = true;
      pFrame->unSize = m_unHave + (unCount - unTaken);
      pFrame->pBytes = bWholeRead ? pData : nullptr;
      *pbEnded = true;
      Reset();
      return unCount;
    }
    m_unSize = kLengthWordSize + unLengthWord;
  }
  // The body, kept only for frames a card answer could be.
  const bool bKeep = m_unSize <= kKeepCapacity;
  const uint32_t unBody = std::min(m_unSize - m_unHave, unCount - unTaken);
  // A frame that lies whole in this read is handed out in place, without a copy.
  const bool bInPlace = unTaken == kLengthWordSize && m_unHave == kLengthWordSize &&
                        unBody == m_unSize - kLengthWordSize;
  if (bKeep && !bInPlace) {
    std::memcpy(m_arrKeep + m_unHave, pData + unTaken, unBody);
  }
  m_unHave += unBody;
  unTaken += unBody;
  if (m_unHave == m_unSize) {
    pFrame->bUnframed = false;
    pFrame->unSize = m_unSize;
    pFrame->pBytes = !bKeep ? nullptr : bInPlace ? pData : m_arrKeep;
    *pbEnded = true;
    Reset();
  }
  return unTaken;
}

RequestFields RequestFieldsOf(const DecodeLogRecord& area) {
  RequestFields fields;
  fields.unAccountNo = area.unAccountNo;
  std::memcpy(fields.arrRequestHead, area.arrRequestHead, sizeof fields.arrRequestHead);
  std::memcpy(fields.arrRequestParam, area.arrRequestParam, sizeof fields.arrRequestParam);
  std::memcpy(fields.arrUserInfo, area.arrUserInfo, sizeof fields.arrUserInfo);
  std::memcpy(fields.szDeviceId, area.szDeviceId, sizeof fields.szDeviceId);
  std::memcpy(fields.szTransData, area.szTransData, sizeof fields.szTransData);
  return fields;
}

void ApplyRequestFields(const RequestFields& fields, DecodeLogRecord* pRecord) {
  static_assert(sizeof fields.arrRequestHead == sizeof pRecord->arrRequestHead &&
                    sizeof fields.arrRequestParam == sizeof pRecord->arrRequestParam &&
                    sizeof fields.arrUserInfo == sizeof pRecord->arrUserInfo &&
                    sizeof fields.szDeviceId == sizeof pRecord->szDeviceId &&
                    sizeof fields.szTransData == sizeof pRecord->szTransData,
                "request fields have the record's widths");
  pRecord->unAccountNo = fields.unAccountNo;
  std::memcpy(pRecord->arrRequestHead, fields.arrRequestHead, sizeof fields.arrRequestHead);
  std::memcpy(pRecord->arrRequestParam, fields.arrRequestParam, sizeof fields.arrRequestParam);
  std::memcpy(pRecord->arrUserInfo, fields.arrUserInfo, sizeof fields.arrUserInfo);
  std::memcpy(pRecord->szDeviceId, fields.szDeviceId, sizeof fields.szDeviceId);
  std::memcpy(pRecord->szTransData, fields.szTransData, sizeof fields.szTransData);
}

bool CRequestFieldQueue::Push(const RequestFields& fields) {
  // Once one command is only counted, so are the next ones, until every answer came: a kept
  // command behind a counted one would take that one's answer.
  if (m_unUntracked > 0 || m_unCount == kCapacity) {
    ++m_unUntracked;
    return false;
  }
  m_arrEntries[(m_unHead + m_unCount) % kCapacity] = fields;
  ++m_unCount;
  return true;
}

CRequestFieldQueue::Popped CRequestFieldQueue::Pop(RequestFields* pFields) {
  if (m_unCount > 0) {
    if (pFields != nullptr) {
      *pFields = m_arrEntries[m_unHead];
    }
    m_unHead = (m_unHead + 1) % kCapacity;
    --m_unCount;
    return Popped::Fields;
  }
  if (m_unUntracked > 0) {
    --m_unUntracked;
    return Popped::Untracked;
  }
  return Popped::Nothing;
}
