// SPDX-License-Identifier: MIT
#include "presentation/pptx_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <functional>
#include <map>
#include <memory>

#include "picture/error.h"
#include "picture/fileio.h"
#include "picture/path.h"
#include "picture/unique_fd.h"
#include "presentation/package_check.h"
#include "presentation/server.h"
#include "presentation/xml_writer.h"
#include "presentation/zip_archive.h"
// Made by the build from presentation/pptx_parts/*.xml.
#include "pptx_parts.h"

namespace tam::pres {

namespace {

constexpr const char* kNsA = "http://schemas.openxmlformats.org/drawingml/2006/main";
constexpr const char* kNsR = "http://schemas.openxmlformats.org/officeDocument/2006/relationships";
constexpr const char* kNsP = "http://schemas.openxmlformats.org/presentationml/2006/main";
constexpr const char* kNsRels = "http://schemas.openxmlformats.org/package/2006/relationships";
constexpr const char* kRelBase = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/";
constexpr const char* kCtBase = "application/vnd.openxmlformats-officedocument.";

// The master's id, above every slide id; its layouts' ids follow it
// (pptx_parts/slide_master.xml).
constexpr long long kMasterId = 2147483648LL;

struct Rel {
  std::string type;  // short name after kRelBase, or a full URI
  std::string target;
};

std::string RelsXml(const std::vector<Rel>& rels) {
  XmlWriter w;
  w.Start("Relationships");
  w.Attr("xmlns", kNsRels);
  for (std::size_t i = 0; i < rels.size(); ++i) {
    w.Start("Relationship");
    w.Attr("Id", "rId" + std::to_string(i + 1));
    w.Attr("Type", rels[i].type.find("://") != std::string::npos ? rels[i].type : kRelBase + rels[i].type);
    w.Attr("Target", rels[i].target);
    w.End();
  }
  return w.Finish();
}

void StartPml(XmlWriter& w, std::string_view root) {
  w.Start(root);
  w.Attr("xmlns:a", kNsA);
  w.Attr("xmlns:r", kNsR);
  w.Attr("xmlns:p", kNsP);
}

void Xfrm(XmlWriter& w, const Box& b) {
  w.Start("a:xfrm");
  w.Empty("a:off", {{"x", std::to_string(b.x)}, {"y", std::to_string(b.y)}});
  w.Empty("a:ext", {{"cx", std::to_string(b.cx)}, {"cy", std::to_string(b.cy)}});
  w.End();
}

void GroupHeader(XmlWriter& w) {
  w.Start("p:nvGrpSpPr");
  w.Empty("p:cNvPr", {{"id", "1"}, {"name", ""}});
  w.Empty("p:cNvGrpSpPr", {});
  w.Empty("p:nvPr", {});
  w.End();
  w.Start("p:grpSpPr");
  w.Start("a:xfrm");
  w.Empty("a:off", {{"x", "0"}, {"y", "0"}});
  w.Empty("a:ext", {{"cx", "0"}, {"cy", "0"}});
  w.Empty("a:chOff", {{"x", "0"}, {"y", "0"}});
  w.Empty("a:chExt", {{"cx", "0"}, {"cy", "0"}});
  w.End();
  w.End();
}

void MasterClrMapOvr(XmlWriter& w) {
  w.Start("p:clrMapOvr");
  w.Empty("a:masterClrMapping", {});
  w.End();
}

void DefRPr(XmlWriter& w, int size, bool major) {
  w.Start("a:defRPr");
  w.Attr("sz", size);
  w.Attr("kern", "1200");
  w.Start("a:solidFill");
  w.Empty("a:schemeClr", {{"val", "tx1"}});
  w.End();
  w.Empty("a:latin", {{"typeface", major ? "+mj-lt" : "+mn-lt"}});
  w.Empty("a:ea", {{"typeface", major ? "+mj-ea" : "+mn-ea"}});
  w.Empty("a:cs", {{"typeface", major ? "+mj-cs" : "+mn-cs"}});
  w.End();
}

void Lvl1(XmlWriter& w, std::string_view algn, int size) {
  w.Start("a:lvl1pPr");
  w.Attr("marL", "0");
  w.Attr("algn", algn);
  w.Attr("defTabSz", "914400");
  w.Attr("rtl", "0");
  w.Attr("eaLnBrk", "1");
  w.Attr("latinLnBrk", "0");
  w.Attr("hangingPunct", "1");
  DefRPr(w, size, false);
  w.End();
}

// Paragraphs of a text: line ends of any kind (and PowerPoint's vertical tab) start a new one.
std::vector<std::string> Paragraphs(const std::string& text) {
  std::vector<std::string> paragraphs(1);
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\r' || c == '\n' || c == '\v') {
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      paragraphs.emplace_back();
    } else {
      paragraphs.back() += c;
    }
  }
  return paragraphs;
}

void TextRuns(XmlWriter& w, const std::string& text, float font_size, bool left_aligned) {
  std::string sz = font_size > 0 ? std::to_string(std::lround(font_size * 100)) : std::string();
  for (const std::string& para : Paragraphs(text)) {
    w.Start("a:p");
    if (left_aligned) w.Empty("a:pPr", {{"algn", "l"}});
    auto props = [&](std::string_view element) {
      w.Start(element);
      w.Attr("lang", "ja-JP");
      w.Attr("altLang", "en-US");
      if (!sz.empty()) w.Attr("sz", sz);
      w.Attr("dirty", "0");
      w.End();
    };
    if (!para.empty()) {
      w.Start("a:r");
      props("a:rPr");
      w.Start("a:t");
      w.Text(para);
      w.End();
      w.End();
    }
    props("a:endParaRPr");
    w.End();
  }
}

void RectGeom(XmlWriter& w) {
  w.Start("a:prstGeom");
  w.Attr("prst", "rect");
  w.Empty("a:avLst", {});
  w.End();
}

using Attrs = std::initializer_list<std::pair<std::string_view, std::string_view>>;

// The non-visual properties of a placeholder: its id and name, the locks
// that keep it what it is, and the place of the layout it takes (p:ph).
void PlaceholderNames(XmlWriter& w, long long id, std::string_view name, Attrs locks, Attrs place) {
  w.Start("p:nvSpPr");
  w.Start("p:cNvPr");
  w.Attr("id", id);
  w.Attr("name", name);
  w.End();
  w.Start("p:cNvSpPr");
  w.Empty("a:spLocks", locks);
  w.End();
  w.Start("p:nvPr");
  w.Empty("p:ph", place);
  w.End();
  w.End();
}

void WriteShape(XmlWriter& w, const Shape& s, const std::string& image_rel) {
  if (s.kind == ShapeKind::Picture) {
    w.Start("p:pic");
    w.Start("p:nvPicPr");
    w.Start("p:cNvPr");
    w.Attr("id", s.id);
    w.Attr("name", s.name);
    w.End();
    w.Start("p:cNvPicPr");
    w.Empty("a:picLocks", {{"noChangeAspect", "1"}});
    w.End();
    w.Empty("p:nvPr", {});
    w.End();
    w.Start("p:blipFill");
    w.Empty("a:blip", {{"r:embed", image_rel}});
    w.Start("a:stretch");
    w.Empty("a:fillRect", {});
    w.End();
    w.End();
    w.Start("p:spPr");
    Xfrm(w, s.box);
    RectGeom(w);
    w.End();
    w.End();
    return;
  }
  w.Start("p:sp");
  if (s.kind == ShapeKind::Title) {
    PlaceholderNames(w, s.id, s.name, {{"noGrp", "1"}}, {{"type", "ctrTitle"}});
  } else if (s.kind == ShapeKind::Subtitle) {
    PlaceholderNames(w, s.id, s.name, {{"noGrp", "1"}}, {{"type", "subTitle"}, {"idx", "1"}});
  } else {
    w.Start("p:nvSpPr");
    w.Start("p:cNvPr");
    w.Attr("id", s.id);
    w.Attr("name", s.name);
    w.End();
    w.Empty("p:cNvSpPr", {{"txBox", "1"}});
    w.Empty("p:nvPr", {});
    w.End();
  }
  w.Start("p:spPr");
  Xfrm(w, s.box);
  if (s.kind == ShapeKind::TextBox) {
    RectGeom(w);
    w.Empty("a:noFill", {});
  }
  w.End();
  w.Start("p:txBody");
  if (s.kind == ShapeKind::Title) {
    w.Start("a:bodyPr");
    w.Attr("anchor", "t");
    w.Empty("a:noAutofit", {});
    w.End();
  } else if (s.kind == ShapeKind::TextBox) {
    w.Empty("a:bodyPr", {{"wrap", "square"}, {"rtlCol", "0"}});
  } else {
    w.Empty("a:bodyPr", {});
  }
  w.Empty("a:lstStyle", {});
  TextRuns(w, s.text, s.font_size, s.kind == ShapeKind::Title);
  w.End();  // txBody
  w.End();  // sp
}

std::string SlideXml(const SlideData& slide, const std::map<const Media*, std::string>& media_rel) {
  XmlWriter w;
  StartPml(w, "p:sld");
  w.Start("p:cSld");
  w.Start("p:spTree");
  GroupHeader(w);
  for (const Shape& s : slide.shapes) WriteShape(w, s, s.media ? media_rel.at(s.media.get()) : std::string());
  w.End();
  w.End();
  MasterClrMapOvr(w);
  return w.Finish();
}

// The notes page: the slide's picture above, the notes text below, both
// placed by the notes master.
void NotesPlaceholders(XmlWriter& w, const std::string& notes) {
  w.Start("p:sp");
  PlaceholderNames(w, 2, "Slide Image Placeholder 1",
                   {{"noGrp", "1"}, {"noRot", "1"}, {"noChangeAspect", "1"}}, {{"type", "sldImg"}});
  w.Empty("p:spPr", {});
  w.End();
  w.Start("p:sp");
  PlaceholderNames(w, 3, "Notes Placeholder 2", {{"noGrp", "1"}}, {{"type", "body"}, {"idx", "1"}});
  w.Empty("p:spPr", {});
  w.Start("p:txBody");
  w.Empty("a:bodyPr", {});
  w.Empty("a:lstStyle", {});
  TextRuns(w, notes, 0, false);
  w.End();
  w.End();
}

std::string NotesSlideXml(const SlideData& slide) {
  XmlWriter w;
  StartPml(w, "p:notes");
  w.Start("p:cSld");
  w.Start("p:spTree");
  GroupHeader(w);
  NotesPlaceholders(w, slide.notes);
  w.End();
  w.End();
  MasterClrMapOvr(w);
  return w.Finish();
}

std::string PresentationXml(const PresentationData& data) {
  XmlWriter w;
  StartPml(w, "p:presentation");
  w.Attr("saveSubsetFonts", "1");
  w.Start("p:sldMasterIdLst");
  w.Empty("p:sldMasterId", {{"id", std::to_string(kMasterId)}, {"r:id", "rId1"}});
  w.End();
  w.Start("p:notesMasterIdLst");
  w.Empty("p:notesMasterId", {{"r:id", "rId2"}});
  w.End();
  if (!data.slides.empty()) {
    w.Start("p:sldIdLst");
    for (std::size_t i = 0; i < data.slides.size(); ++i)
      w.Empty("p:sldId",
              {{"id", std::to_string(data.slides[i]->id)}, {"r:id", "rId" + std::to_string(i + 3)}});
    w.End();
  }
  w.Empty("p:sldSz",
          {{"cx", std::to_string(kSlideWidth)}, {"cy", std::to_string(kSlideHeight)}, {"type", "screen4x3"}});
  w.Empty("p:notesSz", {{"cx", std::to_string(kSlideHeight)}, {"cy", std::to_string(kSlideWidth)}});
  w.Start("p:defaultTextStyle");
  w.Start("a:defPPr");
  w.Empty("a:defRPr", {{"lang", "en-US"}});
  w.End();
  Lvl1(w, "l", 1800);
  w.End();
  return w.Finish();
}

std::string W3cTime(std::time_t t) {
  std::tm utc{};
  ::gmtime_r(&t, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

std::string CoreXml(const PptxOptions& options) {
  XmlWriter w;
  w.Start("cp:coreProperties");
  w.Attr("xmlns:cp", "http://schemas.openxmlformats.org/package/2006/metadata/core-properties");
  w.Attr("xmlns:dc", "http://purl.org/dc/elements/1.1/");
  w.Attr("xmlns:dcterms", "http://purl.org/dc/terms/");
  w.Attr("xmlns:dcmitype", "http://purl.org/dc/dcmitype/");
  w.Attr("xmlns:xsi", "http://www.w3.org/2001/XMLSchema-instance");
  w.Start("dc:title");
  w.Text(options.title);
  w.End();
  w.Start("dc:creator");
  w.Text(std::string_view("Tamarind 2"));
  w.End();
  w.Start("cp:revision");
  w.Text(std::string_view("1"));
  w.End();
  for (const char* element : {"dcterms:created", "dcterms:modified"}) {
    w.Start(element);
    w.Attr("xsi:type", "dcterms:W3CDTF");
    w.Text(W3cTime(options.time));
    w.End();
  }
  return w.Finish();
}

std::string AppXml(std::size_t slides) {
  XmlWriter w;
  w.Start("Properties");
  w.Attr("xmlns", "http://schemas.openxmlformats.org/officeDocument/2006/extended-properties");
  w.Attr("xmlns:vt", "http://schemas.openxmlformats.org/officeDocument/2006/docPropsVTypes");
  auto element = [&](const char* name, const std::string& text) {
    w.Start(name);
    w.Text(text);
    w.End();
  };
  element("Application", "Tamarind 2");
  element("PresentationFormat", "On-screen Show (4:3)");
  element("Slides", std::to_string(slides));
  element("Notes", std::to_string(slides));
  element("HiddenSlides", "0");
  return w.Finish();
}

// A picture's bytes read from its file as the package is written, and checked
// against what they were when the picture was placed: a file gone, shortened,
// grown or changed in between fails the save, naming the file.
class PictureFileInput : public ZipInput {
 public:
  explicit PictureFileInput(const MediaFile& file) : file_(file) {}
  std::uint64_t size() const override { return file_.size; }

  void Open() override {
    // Not blocking, in case a FIFO took the file's name.
    fd_ = UniqueFd(::open(file_.path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!fd_) Unreadable(SystemReason(errno));
    struct stat st;
    if (::fstat(fd_.get(), &st) != 0) Unreadable(SystemReason(errno));
    if (!S_ISREG(st.st_mode)) Unreadable("通常のファイルではありません");
    if (static_cast<std::uint64_t>(st.st_size) != file_.size) Changed();
    done_ = 0;
    crc_ = 0;
  }

  std::size_t Read(std::uint8_t* buffer, std::size_t n) override {
    const std::uint64_t left = file_.size - done_;
    if (left == 0) {
      // Nothing more may follow, and what came must be what was placed.
      std::uint8_t more;
      if (ReadSome(&more, 1) != 0 || crc_ != file_.crc) Changed();
      return 0;
    }
    const std::size_t got = ReadSome(buffer, static_cast<std::size_t>(std::min<std::uint64_t>(n, left)));
    if (got == 0) Changed();  // shorter than it was
    crc_ = MediaCrc(buffer, got, crc_);
    done_ += got;
    return got;
  }

  void Close() override { fd_.reset(); }

 private:
  std::size_t ReadSome(std::uint8_t* buffer, std::size_t n) {
    for (;;) {
      const ssize_t got = ::read(fd_.get(), buffer, n);
      if (got >= 0) return static_cast<std::size_t>(got);
      if (errno != EINTR) Unreadable(SystemReason(errno));
    }
  }
  [[noreturn]] void Unreadable(const std::string& reason) const {
    throw Error("スライドの写真 \"" + ShownUtf8(file_.path) + "\" を読み込めません。" + reason);
  }
  [[noreturn]] void Changed() const {
    throw Error("スライドの写真 \"" + ShownUtf8(file_.path) + "\" が、スライドにした後で変更されました");
  }

  MediaFile file_;
  UniqueFd fd_;
  std::uint64_t done_ = 0;
  std::uint32_t crc_ = 0;
};

// A picture's bytes read back from the program's own store, checked against
// their checksum: a disk that gave back something else fails the save.
class StoredInput : public ZipInput {
 public:
  explicit StoredInput(const StoredBytes& stored) : stored_(stored) {}
  std::uint64_t size() const override { return stored_.size; }
  void Open() override {
    done_ = 0;
    crc_ = 0;
  }
  std::size_t Read(std::uint8_t* buffer, std::size_t n) override {
    const std::uint64_t left = stored_.size - done_;
    if (left == 0) {
      if (crc_ != stored_.crc) throw StoreDamage();
      return 0;
    }
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(n, left));
    const std::size_t got = stored_.store->ReadAt(stored_.offset + done_, buffer, want);
    if (got == 0) throw StoreDamage();
    crc_ = MediaCrc(buffer, got, crc_);
    done_ += got;
    return got;
  }
  void Close() override {}

 private:
  StoredBytes stored_;
  std::uint64_t done_ = 0;
  std::uint32_t crc_ = 0;
};

// A part's text made when libzip reads it and dropped when it is done.
class MadeInput : public ZipInput {
 public:
  MadeInput(const std::function<std::string()>& make, std::uint64_t size) : make_(make), size_(size) {}
  std::uint64_t size() const override { return size_; }
  void Open() override {
    text_ = make_();
    if (text_.size() != size_) throw Error("部品の内容が一定しません");
    done_ = 0;
  }
  std::size_t Read(std::uint8_t* buffer, std::size_t n) override {
    n = std::min(n, text_.size() - done_);
    std::copy_n(text_.data() + done_, n, buffer);
    done_ += n;
    return n;
  }
  void Close() override { std::string().swap(text_); }

 private:
  const std::function<std::string()>& make_;  // the package's, which outlives the archive
  std::uint64_t size_;
  std::string text_;
  std::size_t done_ = 0;
};

// The package as named parts, in the order they are zipped. The parts of
// each slide are made as they are written (once before, only to learn their
// size), so that a presentation of thousands of slides is never held twice.
class Package {
 public:
  void MadeXml(std::string name, std::string content_type, std::function<std::string()> make) {
    if (!content_type.empty()) overrides_.emplace_back(name, std::move(content_type));
    const std::uint64_t size = make().size();
    made_.push_back(std::move(make));
    parts_.push_back({std::move(name), nullptr, nullptr, &made_.back(), size});
  }
  void Xml(std::string name, std::string content_type, std::string xml) {
    if (!content_type.empty()) overrides_.emplace_back(name, std::move(content_type));
    texts_.push_back(std::move(xml));
    parts_.push_back({std::move(name), &texts_.back(), nullptr, nullptr, 0});
  }
  void Binary(std::string name, const Media* media) {
    parts_.push_back({std::move(name), nullptr, media, nullptr, 0});
  }

  std::string ContentTypes() const {
    XmlWriter w;
    w.Start("Types");
    w.Attr("xmlns", "http://schemas.openxmlformats.org/package/2006/content-types");
    w.Empty("Default", {{"Extension", "rels"},
                        {"ContentType", "application/vnd.openxmlformats-package.relationships+xml"}});
    w.Empty("Default", {{"Extension", "xml"}, {"ContentType", "application/xml"}});
    w.Empty("Default", {{"Extension", "png"}, {"ContentType", "image/png"}});
    w.Empty("Default", {{"Extension", "jpeg"}, {"ContentType", "image/jpeg"}});
    for (const auto& [name, type] : overrides_)
      w.Empty("Override", {{"PartName", "/" + name}, {"ContentType", type}});
    return w.Finish();
  }

  // Readers that do not know Zip64 need at most 65535 entries and 4 GiB.
  void CheckSize() const {
    std::uint64_t bytes = 0;
    for (const Part& p : parts_) bytes += p.text ? p.text->size() : p.media ? p.media->size() : p.made_size;
    if (parts_.size() + 1 > 65535 || bytes > 0xF0000000u)
      throw Error("プレゼンテーションが大きすぎて保存できません (部品 " + std::to_string(parts_.size() + 1) +
                  " 個、" + std::to_string(bytes) + " バイト)");
  }

  void Write(ZipWriter& zip) {
    std::string types = ContentTypes();
    zip.Add("[Content_Types].xml", types);
    for (const Part& p : parts_) {
      if (p.text) {
        zip.Add(p.name, *p.text);
      } else if (p.make) {
        zip.Add(p.name, std::make_unique<MadeInput>(*p.make, p.made_size));
      } else if (p.media->file) {
        // Pictures are compressed already: the fastest level costs little and
        // gains little. Either way they are zipped from where they are.
        zip.Add(p.name, std::make_unique<PictureFileInput>(*p.media->file), 1);
      } else if (p.media->stored) {
        zip.Add(p.name, std::make_unique<StoredInput>(*p.media->stored), 1);
      } else {
        zip.Add(p.name, std::span(p.media->bytes.data(), p.media->bytes.size()), 1);
      }
    }
    zip.Close();
  }

 private:
  struct Part {
    std::string name;
    const std::string* text;
    const Media* media;
    const std::function<std::string()>* make;
    std::uint64_t made_size;
  };
  std::vector<Part> parts_;
  std::deque<std::string> texts_;
  std::deque<std::function<std::string()>> made_;
  std::vector<std::pair<std::string, std::string>> overrides_;
};

// A part that is the same in every package, kept as readable XML in
// presentation/pptx_parts/ and joined by the build into one line.
std::string Constant(std::string_view body) { return std::string(kXmlDeclaration).append(body); }

std::string Ct(const char* tail) { return std::string(kCtBase) + tail; }

void BuildPackage(Package& pkg, const PresentationData& data, const PptxOptions& options) {
  const std::string n_rels =
      "http://schemas.openxmlformats.org/package/2006/relationships/metadata/core-properties";
  pkg.Xml("_rels/.rels", "",
          RelsXml({{"officeDocument", "ppt/presentation.xml"},
                   {n_rels, "docProps/core.xml"},
                   {"extended-properties", "docProps/app.xml"}}));
  pkg.Xml("docProps/app.xml", Ct("extended-properties+xml"), AppXml(data.slides.size()));
  pkg.Xml("docProps/core.xml", "application/vnd.openxmlformats-package.core-properties+xml",
          CoreXml(options));

  std::vector<Rel> pres_rels{{"slideMaster", "slideMasters/slideMaster1.xml"},
                             {"notesMaster", "notesMasters/notesMaster1.xml"}};
  for (std::size_t i = 0; i < data.slides.size(); ++i)
    pres_rels.push_back({"slide", "slides/slide" + std::to_string(i + 1) + ".xml"});
  pres_rels.push_back({"presProps", "presProps.xml"});
  pres_rels.push_back({"viewProps", "viewProps.xml"});
  pres_rels.push_back({"theme", "theme/theme1.xml"});
  pres_rels.push_back({"tableStyles", "tableStyles.xml"});
  pkg.Xml("ppt/presentation.xml", Ct("presentationml.presentation.main+xml"), PresentationXml(data));
  pkg.Xml("ppt/_rels/presentation.xml.rels", "", RelsXml(pres_rels));

  pkg.Xml("ppt/slideMasters/slideMaster1.xml", Ct("presentationml.slideMaster+xml"),
          Constant(parts::kSlideMaster));
  pkg.Xml("ppt/slideMasters/_rels/slideMaster1.xml.rels", "",
          RelsXml({{"slideLayout", "../slideLayouts/slideLayout1.xml"},
                   {"slideLayout", "../slideLayouts/slideLayout2.xml"},
                   {"theme", "../theme/theme1.xml"}}));
  for (int i = 1; i <= 2; ++i) {
    std::string n = std::to_string(i);
    pkg.Xml("ppt/slideLayouts/slideLayout" + n + ".xml", Ct("presentationml.slideLayout+xml"),
            Constant(i == 1 ? parts::kLayoutTitle : parts::kLayoutBlank));
    pkg.Xml("ppt/slideLayouts/_rels/slideLayout" + n + ".xml.rels", "",
            RelsXml({{"slideMaster", "../slideMasters/slideMaster1.xml"}}));
  }
  pkg.Xml("ppt/notesMasters/notesMaster1.xml", Ct("presentationml.notesMaster+xml"),
          Constant(parts::kNotesMaster));
  pkg.Xml("ppt/notesMasters/_rels/notesMaster1.xml.rels", "", RelsXml({{"theme", "../theme/theme2.xml"}}));
  pkg.Xml("ppt/theme/theme1.xml", Ct("theme+xml"), Constant(parts::kTheme));
  pkg.Xml("ppt/theme/theme2.xml", Ct("theme+xml"), Constant(parts::kTheme));
  pkg.Xml("ppt/presProps.xml", Ct("presentationml.presProps+xml"), Constant(parts::kPresProps));
  pkg.Xml("ppt/viewProps.xml", Ct("presentationml.viewProps+xml"), Constant(parts::kViewProps));
  pkg.Xml("ppt/tableStyles.xml", Ct("presentationml.tableStyles+xml"), Constant(parts::kTableStyles));

  // A picture pasted on several slides is stored once.
  std::map<const Media*, std::string> media_names;
  for (std::size_t i = 0; i < data.slides.size(); ++i) {
    const SlideData& slide = *data.slides[i];
    std::string n = std::to_string(i + 1);
    std::vector<Rel> rels{{"slideLayout", slide.layout == kLayoutTitle ? "../slideLayouts/slideLayout1.xml"
                                                                       : "../slideLayouts/slideLayout2.xml"},
                          {"notesSlide", "../notesSlides/notesSlide" + n + ".xml"}};
    std::map<const Media*, std::string> rel_of;
    for (const Shape& s : slide.shapes) {
      if (!s.media || rel_of.count(s.media.get())) continue;
      auto [it, fresh] = media_names.try_emplace(s.media.get());
      if (fresh) {
        it->second = "image" + std::to_string(media_names.size()) +
                     (s.media->format == Media::Format::Jpeg ? ".jpeg" : ".png");
        pkg.Binary("ppt/media/" + it->second, s.media.get());
      }
      rels.push_back({"image", "../media/" + it->second});
      rel_of[s.media.get()] = "rId" + std::to_string(rels.size());
    }
    pkg.MadeXml("ppt/slides/slide" + n + ".xml", Ct("presentationml.slide+xml"),
                [&slide, rel_of = std::move(rel_of)] { return SlideXml(slide, rel_of); });
    pkg.MadeXml("ppt/slides/_rels/slide" + n + ".xml.rels", "",
                [rels = std::move(rels)] { return RelsXml(rels); });
    pkg.MadeXml("ppt/notesSlides/notesSlide" + n + ".xml", Ct("presentationml.notesSlide+xml"),
                [&slide] { return NotesSlideXml(slide); });
    pkg.MadeXml("ppt/notesSlides/_rels/notesSlide" + n + ".xml.rels", "", [n] {
      return RelsXml(
          {{"notesMaster", "../notesMasters/notesMaster1.xml"}, {"slide", "../slides/slide" + n + ".xml"}});
    });
  }
}

std::string DisplayPath(const std::string& path) { return ShownUtf8(path); }

[[noreturn]] void SaveFailed(const std::string& path, const std::string& reason) {
  throw Error("ファイル \"" + DisplayPath(path) + "\" を保存できません。" + reason);
}

}  // namespace

void SavePptx(const PresentationData& data, const std::string& path, const PptxOptions& options) {
  if (path.empty()) SaveFailed(path, "ファイル名がありません。");
  // Refuses a folder, a file the user may not write or a missing folder
  // before any work is done.
  SafeFileWriter out(path);
  // The name the user chose is the link's, not that of the file it points
  // to: a photo behind link.pptx was never offered for replacing or trashing.
  const auto check_link_target = [&](const std::string& target) {
    if (out.through_link() && !IsPresentationFile(target))
      SaveFailed(path, "リンク先の \"" + DisplayPath(target) +
                           "\" はプレゼンテーションではないため、上書きしませんでした。");
  };
  if (out.replaces()) check_link_target(out.target());

  Package pkg;
  BuildPackage(pkg, data, options);
  try {
    pkg.CheckSize();
    ZipWriter zip(out.fd(), options.time);
    pkg.Write(zip);
  } catch (const Error& e) {
    SaveFailed(path, e.what());
  }
  // Checked again as the name changes hands: the file there may have too.
  out.Commit([&](const std::string& target) {
    check_link_target(target);
    if (!IsForeignFile(target)) return;
    // Somebody's file, perhaps put there while the slides were made: it goes
    // to the trash when one is given, and is never replaced otherwise.
    if (!options.foreign_to)
      SaveFailed(path, "プレゼンテーションではないファイルがあるため、上書きしませんでした。");
    if (!options.foreign_to->MoveToTrash(target))
      SaveFailed(path, "プレゼンテーションではないファイルをごみ箱に移せないため、上書きしませんでした。" +
                           options.foreign_to->LastError());
  });
}

}  // namespace tam::pres
