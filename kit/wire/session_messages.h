#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "kit/common/bytes.h"
#include "kit/common/uuid.h"
#include "kit/wire/open_text.h"

namespace tillerpad::kit {

struct ProtocolVersion {
  std::int64_t major = 0;
  std::int64_t minor = 0;

  static const ProtocolVersion current;

  // Versions are compatible exactly when their major numbers match.
  bool isCompatible(const ProtocolVersion& other) const { return major == other.major; }
  std::string text() const;

  friend bool operator==(const ProtocolVersion&, const ProtocolVersion&) = default;
  friend auto operator<=>(const ProtocolVersion&, const ProtocolVersion&) = default;
};

inline const ProtocolVersion ProtocolVersion::current{1, 5};

// Who is connecting: a paired phone ("d:" + device id) or a phone completing
// a pairing ("p:" + pairing id). The text is also the TLS PSK identity.
class PeerIdentity {
 public:
  enum class Kind { device, pairing };

  static PeerIdentity device(Uuid id) { return PeerIdentity(Kind::device, id); }
  static PeerIdentity pairing(Uuid id) { return PeerIdentity(Kind::pairing, id); }
  static std::optional<PeerIdentity> parse(std::string_view text);

  Kind kind() const { return kind_; }
  const Uuid& id() const { return id_; }
  bool isDevice() const { return kind_ == Kind::device; }
  bool isPairing() const { return kind_ == Kind::pairing; }
  std::string text() const;

  friend bool operator==(const PeerIdentity&, const PeerIdentity&) = default;

 private:
  PeerIdentity(Kind kind, Uuid id) : kind_(kind), id_(id) {}
  Kind kind_;
  Uuid id_;
};

struct DeviceInfo {
  std::string name;
  std::string model;
  std::string systemVersion;
  std::string appVersion;
  friend bool operator==(const DeviceInfo&, const DeviceInfo&) = default;
};

struct Hello {
  ProtocolVersion protocolVersion;
  PeerIdentity identity = PeerIdentity::device(Uuid());
  Bytes proof;
  DeviceInfo device;
  friend bool operator==(const Hello&, const Hello&) = default;
};

struct Welcome {
  ProtocolVersion protocolVersion;
  Uuid macID;
  std::string macName;
  std::string appVersion;
  std::optional<std::uint16_t> fastPort;
  friend bool operator==(const Welcome&, const Welcome&) = default;
};

// The body of both "ping" and "pong"; a pong repeats its ping unchanged.
struct Ping {
  std::uint64_t id = 0;
  double sentAt = 0;
  friend bool operator==(const Ping&, const Ping&) = default;
};

struct ErrorCode : OpenText<ErrorCode> {
  using OpenText::OpenText;
  static const ErrorCode incompatibleVersion;
  static const ErrorCode authenticationFailed;
  static const ErrorCode unexpectedMessage;
  static const ErrorCode screenCaptureFailed;
  static const ErrorCode screenViewingDisabled;
  static const ErrorCode clipboardSharingDisabled;
  static const ErrorCode shortcutDisabled;
};

inline const ErrorCode ErrorCode::incompatibleVersion{"incompatibleVersion"};
inline const ErrorCode ErrorCode::authenticationFailed{"authenticationFailed"};
inline const ErrorCode ErrorCode::unexpectedMessage{"unexpectedMessage"};
inline const ErrorCode ErrorCode::screenCaptureFailed{"screenCaptureFailed"};
inline const ErrorCode ErrorCode::screenViewingDisabled{"screenViewingDisabled"};
inline const ErrorCode ErrorCode::clipboardSharingDisabled{"clipboardSharingDisabled"};
inline const ErrorCode ErrorCode::shortcutDisabled{"shortcutDisabled"};

struct ErrorMessage {
  ErrorCode code;
  std::optional<std::string> detail;
  friend bool operator==(const ErrorMessage&, const ErrorMessage&) = default;
};

struct ByeReason : OpenText<ByeReason> {
  using OpenText::OpenText;
  static const ByeReason userDisconnected;
  static const ByeReason revoked;
  static const ByeReason replaced;
  static const ByeReason shuttingDown;
  static const ByeReason backgrounded;
};

inline const ByeReason ByeReason::userDisconnected{"userDisconnected"};
inline const ByeReason ByeReason::revoked{"revoked"};
inline const ByeReason ByeReason::replaced{"replaced"};
inline const ByeReason ByeReason::shuttingDown{"shuttingDown"};
inline const ByeReason ByeReason::backgrounded{"backgrounded"};

struct Bye {
  ByeReason reason;
  friend bool operator==(const Bye&, const Bye&) = default;
};

}  // namespace tillerpad::kit

template <>
struct std::hash<tillerpad::kit::PeerIdentity> {
  std::size_t operator()(const tillerpad::kit::PeerIdentity& p) const noexcept {
    return std::hash<tillerpad::kit::Uuid>{}(p.id()) * 2 + (p.isDevice() ? 0 : 1);
  }
};

template <>
struct std::hash<tillerpad::kit::ProtocolVersion> {
  std::size_t operator()(const tillerpad::kit::ProtocolVersion& v) const noexcept {
    return std::hash<std::int64_t>{}(v.major) * 31 + std::hash<std::int64_t>{}(v.minor);
  }
};
