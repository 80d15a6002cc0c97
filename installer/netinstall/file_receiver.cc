#include "netinstall/file_receiver.h"

#include <cstring>

void FileReceiver::bind(NetEndpoint* endpoint, LinkState* link, RequestTiming timing) {
  reply_.clear();
  endpoint_ = endpoint;
  link_ = link;
  timing_ = timing;
}

long FileReceiver::retrieve() {
  NetMessage request;
  request.clear();
  (void)request.setPayloadText(messageTag(MessageType::retrieve), /*withTerminator=*/false);
  link_->stamp(request, request.payloadLength());
  return endpoint_->sendAndWait(*link_, request, reply_, timing_.timeoutUsec, timing_.attempts);
}

HeaderReply FileReceiver::requestHeader() {
  mark_ = 0;
  blockLength_ = 0;
  blockPosition_ = 0;
  if (retrieve() <= 0) return HeaderReply::noAnswer;
  FileHeader header = parseFileHeader(reply_.payloadText(), reply_.payloadLength(), name_, mark_);
  return header == FileHeader::file ? HeaderReply::file : HeaderReply::endOfFiles;
}

int FileReceiver::read(char* buffer, size_t capacity) {
  if (blockPosition_ == blockLength_) {
    if (retrieve() < 0) return -1;
    blockLength_ = reply_.payloadLength();
    blockPosition_ = 0;
    if (blockLength_ == 0) return 0;
  }
  size_t count = blockLength_ - blockPosition_;
  if (count > capacity) count = capacity;
  memcpy(buffer, reply_.payload() + blockPosition_, count);
  blockPosition_ += static_cast<uint32_t>(count);
  return static_cast<int>(count);
}
