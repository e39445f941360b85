#include "pages.hpp"

#include "link.hpp"
#include "text.hpp"

namespace kada {

namespace {

constexpr std::string_view kInfoStyle =
    "html,body{margin:0;padding:0}"
    "body{background:#f4f5f7;color:#222;font:14px/1.6 \"Noto Sans CJK SC\",\"WenQuanYi Micro Hei\",sans-serif}"
    "main{box-sizing:border-box;width:854px;max-width:100%;min-height:488px;padding:18px 28px}"
    "h1{font-size:20px;margin:0 0 10px}h2{font-size:16px;margin:14px 0 4px}p{margin:6px 0}"
    ".link{font-family:monospace;background:#fff;border:1px solid #d8d8d8;padding:6px 8px;"
    "word-break:break-all;white-space:pre-wrap;max-height:96px;overflow:auto}"
    "dl{display:grid;grid-template-columns:max-content 1fr;gap:2px 14px;margin:8px 0}"
    "dt{color:#666}dd{margin:0;word-break:break-all}ul{margin:4px 0;padding-left:22px}"
    ".note{background:#fff6e0;border-left:3px solid #e0a000;padding:6px 10px}"
    ".error{background:#fdecec;border-left:3px solid #c62828;padding:6px 10px}"
    "a{color:#0b57d0}";

constexpr std::string_view kSupported =
    "<ul>"
    "<li>http / https 视频文件地址（mp4、webm、ogg/ogv、m3u8、mp3 等）：直接播放；</li>"
    "<li>迅雷 thunder://、快车 flashget://、QQ 旋风 qqdl:// 链接：先解开，再按里面的地址处理；</li>"
    "<li>磁力链接 magnet: 和电驴链接 ed2k://：显示文件名、大小和哈希值（本服务不下载点对点内容）；</li>"
    "<li>ftp 地址和普通网页地址：说明收到了什么、可以怎么办。</li>"
    "</ul>";

constexpr std::string_view kNoP2p =
    "<p class=\"note\">本服务不下载点对点（P2P）内容，只显示链接里的信息。"
    "请用 BT 或电驴之类的下载软件获取这个文件。</p>";

// Pieces of one info page, filled in by the renderers below.
struct InfoPage {
  int status = 200;
  std::string_view kind;
  std::string heading;  // plain text, escaped on output
  std::string body;     // mark-up
};

std::string document(std::string_view kind, std::string_view title_text, std::string_view style,
                     std::string_view body) {
  std::string html;
  html.reserve(body.size() + style.size() + 256);
  html += "<!DOCTYPE html>\n<html lang=\"zh-CN\"><head><meta charset=\"utf-8\">"
          "<meta name=\"referrer\" content=\"no-referrer\"><title>";
  html += html_text(title_text);
  html += "</title><style>";
  html += style;
  html += "</style></head><body data-kind=\"";
  html += kind;
  html += "\">";
  html += body;
  html += "</body></html>\n";
  return html;
}

Page finish(const InfoPage& info) {
  std::string body = "<main><h1>" + html_text(info.heading) + "</h1>" + info.body + "</main>";
  return {info.status, document(info.kind, "咔嗒云点播 - " + info.heading, kInfoStyle, body)};
}

std::string link_box(std::string_view label, std::string_view bytes) {
  std::string out = "<p>" + std::string(label) + "</p><p class=\"link\">" + html_text(bytes) + "</p>";
  if (!is_valid_utf8(bytes)) {
    out += "<p class=\"note\">链接里有不是 UTF-8 编码的字节，显示时用 \xEF\xBF\xBD 代替。</p>";
  }
  return out;
}

std::string definition(std::string_view term, std::string_view value_markup) {
  return "<dt>" + std::string(term) + "</dt><dd>" + std::string(value_markup) + "</dd>";
}

std::string size_markup(std::uint64_t size) {
  return html_escape(human_size(size)) + "（" + std::to_string(size) + " 字节）";
}

// The last path segment, for the player's title.
std::string file_name_of(std::string_view url) {
  const std::string_view path = url.substr(0, find_any(url, "?#"));
  const std::size_t slash = path.rfind('/');
  const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  return percent_decode_lenient(name);
}

Page player_page(const ClassifiedLink& link) {
  const std::string src = html_escape(url_escape_unsafe(link.address));
  std::string body = "<video src=\"" + src + "\" width=\"" + std::to_string(kPlayerWidth) +
                     "\" height=\"" + std::to_string(kPlayerHeight) +
                     "\" autoplay controls preload=\"auto\">你的播放器不支持 HTML5 视频。</video>"
                     "<script src=\"" + std::string(kPlayerScriptPath) + "\"></script>";
  static const std::string style =
      "html,body{margin:0;padding:0;background:#000;overflow:hidden}"
      "video{display:block;width:" + std::to_string(kPlayerWidth) + "px;height:" +
      std::to_string(kPlayerHeight) + "px;background:#000}"
      ".fail{position:absolute;left:0;right:0;top:42%;padding:12px 24px;text-align:center;color:#fff;"
      "background:rgba(0,0,0,.7);font:16px/1.6 \"Noto Sans CJK SC\",\"WenQuanYi Micro Hei\",sans-serif}";
  return {200, document("media", "正在播放：" + file_name_of(link.address), style, body)};
}

std::string unwrapped_note(const ClassifiedLink& link) {
  std::string out;
  for (const Unwrapped& layer : link.layers) {
    std::string name = layer.scheme == "thunder" ? "迅雷" : layer.scheme == "flashget" ? "快车" : "QQ 旋风";
    out += "<p>已解开" + name + "链接。</p>";
  }
  if (!link.layers.empty()) out += link_box("里面的地址：", link.address);
  return out;
}

void describe_magnet(const ClassifiedLink& link, InfoPage& page) {
  const MagnetInfo magnet = parse_magnet(link.address);
  page.heading = "这是一个磁力链接";
  std::string dl;
  dl += definition("名称", magnet.name.empty() ? "（链接里没有写）" : html_text(magnet.name));
  if (magnet.hashes.empty()) {
    dl += definition("信息哈希", "（链接里没有 urn:btih 哈希）");
  }
  for (const std::string& hash : magnet.hashes) {
    std::string value = html_text(hash);
    if (!is_valid_btih(hash)) value += "（格式不对：应为 40 位十六进制或 32 位 Base32）";
    else value += hash.size() == 40 ? "（十六进制）" : "（Base32）";
    dl += definition("信息哈希", value);
  }
  for (const std::string& xt : magnet.other_xt) dl += definition("其他标识", html_text(xt));
  if (magnet.size) {
    dl += definition("大小", size_markup(*magnet.size));
  } else if (!magnet.bad_size.empty()) {
    dl += definition("大小", "（不是数字：" + html_text(magnet.bad_size) + "）");
  } else {
    dl += definition("大小", "（链接里没有写）");
  }
  if (magnet.trackers.empty()) {
    dl += definition("Tracker", "（没有）");
  } else {
    std::string list = "<ul>";
    for (const std::string& tracker : magnet.trackers) list += "<li>" + html_text(tracker) + "</li>";
    dl += definition("Tracker（" + std::to_string(magnet.trackers.size()) + " 个）", list + "</ul>");
  }
  page.body += "<dl>" + dl + "</dl>" + std::string(kNoP2p);
}

void describe_ed2k(const ClassifiedLink& link, InfoPage& page) {
  const Ed2kInfo ed2k = parse_ed2k(link.address);
  page.heading = "这是一个电驴（ed2k）链接";
  if (ed2k.ok) {
    page.body += "<dl>" + definition("文件名", html_text(ed2k.name)) +
                 definition("大小", size_markup(*ed2k.size)) +
                 definition("哈希", html_text(ed2k.hash)) + "</dl>";
  } else {
    page.body += "<p class=\"error\">" + html_text(ed2k.error) + "</p>";
  }
  page.body += kNoP2p;
}

}  // namespace

std::string_view player_script() {
  // Builds the message with textContent only: nothing from the link is ever
  // parsed as mark-up here either.
  return "(function () {\n"
         "  var video = document.querySelector('video');\n"
         "  if (!video) return;\n"
         "  var shown = false;\n"
         "  function fail() {\n"
         "    if (shown) return;\n"
         "    shown = true;\n"
         "    var box = document.createElement('div');\n"
         "    box.className = 'fail';\n"
         "    box.textContent = '这个视频无法播放：地址打不开，或者不是播放器支持的格式。';\n"
         "    document.body.appendChild(box);\n"
         "  }\n"
         "  video.addEventListener('error', fail);\n"
         "  if (video.error) fail();\n"
         "  var started = video.play();\n"
         "  if (started && started.catch) {\n"
         "    started.catch(function () {\n"
         "      if (video.error) return;\n"
         "      video.muted = true;\n"
         "      var again = video.play();\n"
         "      if (again && again.catch) again.catch(function () {});\n"
         "    });\n"
         "  }\n"
         "})();\n";
}

std::string usable_host(std::string_view host_header, std::string_view fallback) {
  if (host_header.empty() || host_header.size() > 261) return std::string(fallback);
  for (char c : host_header) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '.' || c == '-' || c == ':' || c == '[' || c == ']';
    if (!ok) return std::string(fallback);
  }
  return std::string(host_header);
}

std::string sample_link(std::string_view host) {
  return "http://" + std::string(host) + "/media/sample.webm";
}

Page render_welcome(std::string_view host) {
  const std::string sample = sample_link(host);
  InfoPage page;
  page.kind = "welcome";
  page.heading = "欢迎使用咔嗒云点播";
  page.body =
      "<p>把视频链接粘贴到窗口上方的输入框，按“云 点 播”，视频就在这里播放。</p>"
      "<h2>能用的链接</h2>" + std::string(kSupported) +
      "<h2>试一试</h2><p>复制下面的示例链接，粘贴到输入框后按“云 点 播”：</p>"
      "<p class=\"link\">" + html_escape(sample) + "</p>"
      "<p>或者<a href=\"/play.php?str=" + html_escape(url_escape_unsafe(sample)) +
      "\">直接播放示例视频</a>。</p>";
  return finish(page);
}

Page render_play(std::string_view query, std::string_view host) {
  const ReceivedLink received = extract_link(query);
  if (received.status == ReceivedLink::Status::kMissingStr) {
    return finish({400, "missing-link", "请求里没有链接",
                   "<p>播放页的地址应为 <code>/play.php?str=链接</code>，这次请求里没有 <code>str</code> 参数。</p>" +
                       link_box("收到的查询部分：", query) + "<h2>能用的链接</h2>" + std::string(kSupported)});
  }
  if (received.status == ReceivedLink::Status::kBadEscape) {
    return finish({400, "bad-escape", "链接里的百分号转义不对",
                   "<p>“%”后面应当跟两位十六进制数字（例如 %20 表示空格），收到的链接不符合。</p>" +
                       link_box("收到的原文：", received.raw)});
  }

  InfoPage page;
  const ClassifiedLink link = classify(received.raw, received.decoded);
  page.kind = kind_name(link.kind);
  if (link.kind == LinkKind::kMedia) return player_page(link);

  if (link.kind != LinkKind::kEmpty) page.body = link_box("收到的链接：", received.decoded);
  page.body += unwrapped_note(link);
  switch (link.kind) {
    case LinkKind::kMedia:
      break;
    case LinkKind::kEmpty:
      page.heading = "没有收到链接";
      page.body += "<p>链接是空的。请把视频链接粘贴到输入框里再按播放。</p><h2>能用的链接</h2>" +
                   std::string(kSupported);
      break;
    case LinkKind::kBadWrapper:
      page.status = 400;
      page.heading = "链接无法解开";
      page.body += "<p class=\"error\">" + html_text(link.error) + "</p>";
      break;
    case LinkKind::kMagnet:
      describe_magnet(link, page);
      break;
    case LinkKind::kEd2k:
      describe_ed2k(link, page);
      break;
    case LinkKind::kFtp:
      page.heading = "这是一个 FTP 地址";
      page.body += "<p>本服务只能播放 http / https 上的视频文件，不能播放 FTP 上的文件。"
                   "请用 FTP 软件或下载工具下载后观看，或者换一个 http 地址。</p>";
      break;
    case LinkKind::kWebPage:
      page.heading = "这是一个网页地址，不是视频文件";
      page.body += "<p>按文件扩展名判断，这个地址不是能直接播放的视频文件"
                   "（能播放的有 mp4、webm、ogg/ogv、m3u8、mp3 等）。"
                   "可以打开这个网页，找到视频文件本身的地址再粘贴过来。</p>"
                   "<p><a href=\"" + html_escape(url_escape_unsafe(link.address)) +
                   "\" rel=\"noreferrer\">打开这个网页</a></p>";
      break;
    case LinkKind::kOtherScheme:
      page.heading = "不支持这种链接";
      page.body += "<p>收到的是“" + html_text(link.address.substr(0, link.address.find("://"))) +
                   "”链接，本服务不能处理。</p><h2>能用的链接</h2>" + std::string(kSupported);
      break;
    case LinkKind::kNotALink:
      page.heading = "这不是一个链接";
      page.body += "<p>收到的文字不是视频链接。</p><h2>能用的链接</h2>" + std::string(kSupported) +
                   "<p>示例链接：<span class=\"link\">" + html_escape(sample_link(host)) + "</span></p>";
      break;
  }
  return finish(page);
}

Page render_not_found(std::string_view path) {
  return finish({404, "not-found", "找不到这个页面",
                 link_box("请求的路径：", path) + "<p>本服务的页面有：<a href=\"/img/1.html\">欢迎页</a>、"
                 "播放页 <code>/play.php?str=链接</code> 和示例视频 <code>/media/文件名</code>。</p>"});
}

Page render_method_not_allowed(std::string_view method) {
  return finish({405, "method-not-allowed", "不支持这种请求方法",
                 "<p>本服务只接受 GET 和 HEAD 请求，收到的是 <code>" + html_text(method) + "</code>。</p>"});
}

Page render_request_too_large(std::size_t limit_bytes) {
  return finish({414, "too-large", "请求太长",
                 "<p>请求行和请求头加起来超过了 " + std::to_string(limit_bytes / 1024) +
                     " KB，本服务没有读它。链接太长了，请换一个短一些的链接。</p>"});
}

}  // namespace kada
