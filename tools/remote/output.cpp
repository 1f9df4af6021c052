#include "tools/remote/output.h"

#include <algorithm>
#include <cstdio>

namespace tillerpad::remote {
namespace {

using kit::MessageType;

const char* boolean(bool value) { return value ? "true" : "false"; }

// " size=WxH" from a PNG's header; empty for anything else.
std::string pngSize(kit::ByteView d) {
  static const std::uint8_t signature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  if (d.size() < 24 || !std::equal(std::begin(signature), std::end(signature), d.begin())) return "";
  auto be32 = [&](std::size_t at) {
    return (std::uint32_t{d[at]} << 24) | (std::uint32_t{d[at + 1]} << 16) | (std::uint32_t{d[at + 2]} << 8) | d[at + 3];
  };
  return " size=" + std::to_string(be32(16)) + "x" + std::to_string(be32(20));
}

}  // namespace

std::string quoted(std::string_view text);

// A word from the desktop without quotes: escaped like a quoted text, and a
// blank escaped too, so the line still splits on blanks.
static std::string bare(std::string_view text) {
  std::string inner = quoted(text);
  inner = inner.substr(1, inner.size() - 2);
  std::string out;
  for (char c : inner) out += c == ' ' ? std::string("\\u0020") : std::string(1, c);
  return out.empty() ? "\"\"" : out;
}

// A display name inside the screenInfo list: bare, with the list's own
// separators escaped too.
static std::string listField(std::string_view text) {
  std::string out;
  for (char c : bare(text)) {
    if (c == ',') out += "\\u002c";
    else if (c == ':') out += "\\u003a";
    else out += c;
  }
  return out;
}

std::string quoted(std::string_view text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7f) {
      char code[8];
      std::snprintf(code, sizeof code, "\\u%04x", c);
      out += code;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string formatWelcome(const kit::Welcome& w) {
  return "welcome macID=" + w.macID.text() + " name=" + quoted(w.macName) + " appVersion=" + quoted(w.appVersion) +
         " protocol=" + w.protocolVersion.text() +
         " fastPort=" + (w.fastPort ? std::to_string(*w.fastPort) : std::string("none"));
}

std::string formatPaired(const kit::PairedMac& record) {
  return "paired macID=" + record.id.text() + " name=" + quoted(record.name) + " deviceID=" + record.deviceID.text();
}

std::string formatRejection(const kit::PairingRejection& reason) { return "rejected reason=" + bare(reason.rawValue); }

std::string formatMessage(const kit::Message& message) {
  if (auto* w = message.getIf<MessageType::welcome>()) return formatWelcome(*w);
  if (auto* p = message.getIf<MessageType::permissionStatus>()) {
    return std::string("permissionStatus accessibility=") + boolean(p->accessibility) +
           " screenRecording=" + boolean(p->screenRecording);
  }
  if (auto* s = message.getIf<MessageType::sharingSettings>()) {
    return std::string("sharingSettings clipboard=") + boolean(s->clipboard) + " screen=" + boolean(s->screen);
  }
  if (auto* e = message.getIf<MessageType::error>()) {
    std::string line = "error code=" + bare(e->code.rawValue);
    if (e->detail) line += " detail=" + quoted(*e->detail);
    return line;
  }
  if (auto* b = message.getIf<MessageType::bye>()) {
    return "bye reason=" + bare(b->reason.rawValue);
  }
  if (auto* s = message.getIf<MessageType::screenInfo>()) {
    std::string line = "screenInfo displayID=" + std::to_string(s->displayID) + " displays=";
    for (std::size_t i = 0; i < s->displays.size(); ++i) {
      const auto& d = s->displays[i];
      line += (i ? "," : "") + std::to_string(d.id) + ":" + listField(d.name) + ":" + std::to_string(d.pointWidth) + "x" +
              std::to_string(d.pointHeight) + (d.isMain ? ":main" : "");
    }
    if (s->displays.empty()) line += "none";
    return line;
  }
  if (auto* f = message.getIf<MessageType::screenFrame>()) return formatFrame(*f, std::nullopt);
  if (auto* c = message.getIf<MessageType::clipboard>()) return formatClipboard(*c, std::nullopt);
  if (auto* l = message.getIf<MessageType::appList>()) return formatAppList(*l).front();
  if (auto* i = message.getIf<MessageType::appIcon>()) return formatAppIcon(*i, std::nullopt);
  if (auto* p = message.getIf<MessageType::pong>()) return "pong id=" + std::to_string(p->id);
  if (auto* p = message.getIf<MessageType::ping>()) return "ping id=" + std::to_string(p->id);
  return "message type=" + bare(message.type());
}

std::string formatFrame(const kit::ScreenFrame& frame, const std::optional<std::string>& file) {
  return "frame id=" + std::to_string(frame.frameID) + " display=" + std::to_string(frame.displayID) +
         " size=" + std::to_string(frame.pixelWidth) + "x" + std::to_string(frame.pixelHeight) +
         " bytes=" + std::to_string(frame.jpeg.data.size()) + (file ? " file=" + quoted(*file) : std::string());
}

std::string formatClipboard(const kit::ClipboardContent& content, const std::optional<std::string>& file) {
  std::string line = "clipboard";
  if (content.text) line += " text=" + quoted(*content.text);
  if (content.image) {
    line += " image=" + bare(content.image->format.rawValue) + " bytes=" + std::to_string(content.image->data.data.size());
    line += pngSize(content.image->data.data);  // a PNG says its size in its header
  }
  if (!content.text && !content.image) line += " empty";
  if (content.pasteAfterwards) line += " paste=true";
  if (file) line += " file=" + quoted(*file);
  return line;
}

std::vector<std::string> formatAppList(const kit::AppList& list) {
  std::vector<std::string> lines{"appList count=" + std::to_string(list.apps.size())};
  for (const auto& app : list.apps) {
    lines.push_back("app id=" + bare(app.bundleID) + " name=" + quoted(app.name) + " running=" + boolean(app.isRunning) +
                    " active=" + boolean(app.isActive));
  }
  return lines;
}

std::string formatAppIcon(const kit::AppIcon& icon, const std::optional<std::string>& file) {
  return "appIcon id=" + bare(icon.bundleID) + " pixelSize=" + std::to_string(icon.pixelSize) +
         " bytes=" + std::to_string(icon.png.data.size()) + pngSize(icon.png.data) + (file ? " file=" + quoted(*file) : "");
}

std::string formatScreenSummary(std::int64_t frames, double seconds) {
  double fps = frames > 1 && seconds > 0 ? static_cast<double>(frames - 1) / seconds : 0;
  char text[96];
  std::snprintf(text, sizeof text, "screen frames=%lld seconds=%.3f fps=%.1f", static_cast<long long>(frames),
                seconds, fps);
  return text;
}

void Output::line(const std::string& text) {
  std::fputs(text.c_str(), out_);
  std::fputc('\n', out_);
  std::fflush(out_);
}

void Output::failure(const std::string& text) {
  // Failure texts may carry what the desktop sent (reasons, codes, types).
  std::string clean;
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7f) {
      char code[8];
      std::snprintf(code, sizeof code, "\\u%04x", c);
      clean += code;
    } else {
      clean += static_cast<char>(c);
    }
  }
  std::fputs(("tillerpad-remote: " + clean + "\n").c_str(), err_);
  std::fflush(err_);
}

}  // namespace tillerpad::remote
