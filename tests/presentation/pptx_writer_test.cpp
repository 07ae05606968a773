// SPDX-License-Identifier: MIT
// The .pptx package read back: structure, content types, relationships, ids,
// text and sizes, and what a failed save leaves behind.
#include "presentation/pptx_writer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QBuffer>
#include <QImage>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <set>

#include "package_reader.h"
#include "picture/error.h"
#include "picture/unique_fd.h"
#include "presentation/builtin_model.h"
#include "presentation/package_check.h"
#include "presentation/server.h"
#include "presentation/zip_archive.h"
#include "support/readonly.h"
#include "support/testdata.h"

namespace tam::pres {
namespace {

std::vector<std::uint8_t> PngBytes(const QImage& img) {
  QByteArray png;
  QBuffer b(&png);
  b.open(QIODevice::WriteOnly);
  img.save(&b, "PNG");
  return {png.begin(), png.end()};
}

std::shared_ptr<const Media> PngMedia(int w, int h) {
  auto m = std::make_shared<Media>();
  QImage img(w, h, QImage::Format_RGB32);
  img.fill(Qt::red);
  m->bytes = PngBytes(img);
  m->width = w;
  m->height = h;
  return m;
}

std::shared_ptr<const Media> JpegMedia(const std::string& path, int w, int h) {
  auto m = std::make_shared<Media>();
  auto bytes = tamtest::ReadBytes(path);
  m->bytes.assign(bytes.begin(), bytes.end());
  m->format = Media::Format::Jpeg;
  m->width = w;
  m->height = h;
  return m;
}

// A slide as the insert command leaves it: caption, empty text box, picture.
std::shared_ptr<SlideData> PictureSlide(PresentationData& data, const std::string& name,
                                        std::shared_ptr<const Media> media) {
  auto s = MakeSlide(data.next_slide_id++, kLayoutTitle);
  s->notes = name;
  Shape box;
  box.kind = ShapeKind::TextBox;
  box.id = s->next_shape_id++;
  box.name = "TextBox";
  box.box = Box{0, 0, 6350000, 635000};
  s->shapes.push_back(box);
  s->shapes[0].text = name;
  s->shapes[0].font_size = 8;
  ChangeLayout(*s, kLayoutBlank);
  Shape pic;
  pic.kind = ShapeKind::Picture;
  pic.id = s->next_shape_id++;
  pic.name = "Picture";
  pic.media = media;
  pic.box = PlacePicture(media->width, media->height);
  s->shapes.push_back(pic);
  data.slides.push_back(s);
  return s;
}

class PptxWriterTest : public ::testing::Test {
 protected:
  void SetUp() override { tamtest::EnsureApp(); }
  tamtest::TempDir dir;
};

// What every package must be: every part has a content type and every
// override names a part, every XML part parses, and every relationship
// points at a part, its id unique within its .rels. The content types'
// defaults and overrides are handed back for a closer look.
void ExpectConsistent(const tamtest::Package& pkg, std::map<QString, QString>& defaults,
                      std::map<QString, QString>& overrides) {
  // Every part has a content type; every override names a part.
  tamtest::Element types = pkg.xml("[Content_Types].xml");
  for (const auto* d : types.all("Default")) defaults[d->attr("Extension")] = d->attr("ContentType");
  for (const auto* o : types.all("Override")) overrides[o->attr("PartName")] = o->attr("ContentType");
  for (const auto& e : pkg.entries) {
    if (e.name == "[Content_Types].xml") continue;
    QString part = "/" + QString::fromStdString(e.name);
    QString ext = part.mid(part.lastIndexOf('.') + 1);
    EXPECT_TRUE(overrides.count(part) || defaults.count(ext)) << e.name;
  }
  for (const auto& [part, type] : overrides)
    EXPECT_TRUE(pkg.has(part.mid(1).toStdString())) << part.toStdString();
  // Every relationship points at a part; ids within a .rels are unique; XML parses.
  for (const auto& e : pkg.entries) {
    if (e.name.ends_with(".xml") || e.name.ends_with(".rels")) {
      EXPECT_NO_THROW(pkg.xml(e.name)) << e.name;
    }
    if (!e.name.ends_with(".rels")) continue;
    std::string source = tamtest::RelsSource(e.name);
    if (e.name != "_rels/.rels") {
      EXPECT_TRUE(pkg.has(source)) << e.name;
    }
    std::set<QString> ids;
    tamtest::Element rels = pkg.xml(e.name);
    for (const auto* r : rels.all("Relationship")) {
      EXPECT_TRUE(ids.insert(r->attr("Id")).second) << e.name;
      std::string target =
          tamtest::ResolveTarget(e.name == "_rels/.rels" ? "" : source, r->attr("Target").toStdString());
      EXPECT_TRUE(pkg.has(target)) << e.name << " -> " << target;
    }
  }
}

TEST_F(PptxWriterTest, PackageIsCompleteAndConsistent) {
  PresentationData data;
  auto png = PngMedia(480, 360);
  auto jpeg = JpegMedia(tamtest::TestData("jpeg/good/testorig.jpg"), 227, 149);
  PictureSlide(data, "IMG_01.png", png);
  PictureSlide(data, "写真 & memo<02>.jpeg", jpeg);
  PictureSlide(data, "again.png", png);  // the same picture twice is stored once
  auto title_only = MakeSlide(data.next_slide_id++, kLayoutTitle);
  data.slides.push_back(title_only);
  std::string out = dir / "a.pptx";
  SavePptx(data, out);

  tamtest::Package pkg = tamtest::ReadPackage(out);
  ASSERT_FALSE(pkg.entries.empty());
  EXPECT_EQ(pkg.entries.front().name, "[Content_Types].xml");
  for (const auto& e : pkg.entries) {
    EXPECT_NE(e.name.back(), '/') << "directory entry " << e.name;
    EXPECT_EQ(e.method, ZIP_CM_DEFLATE) << e.name;
    EXPECT_EQ(e.extra_fields, 0) << e.name;
  }
  auto raw = tamtest::ReadBytes(out);
  std::string bytes(raw.begin(), raw.end());
  EXPECT_EQ(bytes.find("PK\x06\x06"), std::string::npos) << "Zip64 end record";
  EXPECT_EQ(bytes.find("PK\x06\x07"), std::string::npos) << "Zip64 locator";

  std::map<QString, QString> defaults, overrides;
  ExpectConsistent(pkg, defaults, overrides);
  EXPECT_EQ(overrides["/ppt/presentation.xml"],
            "application/vnd.openxmlformats-officedocument.presentationml.presentation.main+xml");
  EXPECT_EQ(overrides["/ppt/notesMasters/notesMaster1.xml"],
            "application/vnd.openxmlformats-officedocument.presentationml.notesMaster+xml");
  EXPECT_EQ(overrides["/ppt/slides/slide4.xml"],
            "application/vnd.openxmlformats-officedocument.presentationml.slide+xml");
  EXPECT_EQ(defaults["jpeg"], "image/jpeg");

  // Slide ids unique and in range, master and layout ids above them.
  tamtest::Element pres = pkg.xml("ppt/presentation.xml");
  ASSERT_NE(pres.child("p:notesMasterIdLst"), nullptr);
  std::set<qint64> ids;
  for (const auto* s : pres.all("p:sldId")) {
    qint64 id = s->attr("id").toLongLong();
    EXPECT_GE(id, 256);
    EXPECT_LT(id, 2147483648LL);
    EXPECT_TRUE(ids.insert(id).second);
  }
  EXPECT_EQ(ids.size(), 4u);
  for (const auto* s : pres.all("p:sldMasterId")) EXPECT_TRUE(ids.insert(s->attr("id").toLongLong()).second);
  tamtest::Element master = pkg.xml("ppt/slideMasters/slideMaster1.xml");
  for (const auto* s : master.all("p:sldLayoutId"))
    EXPECT_TRUE(ids.insert(s->attr("id").toLongLong()).second);
  const auto* size = pres.child("p:sldSz");
  ASSERT_NE(size, nullptr);
  EXPECT_EQ(size->attr("cx"), "9144000");
  EXPECT_EQ(size->attr("cy"), "6858000");

  // Shape ids unique within each slide, notes and master.
  for (const auto& e : pkg.entries) {
    if (!e.name.ends_with(".xml") || e.name.find("/_rels/") != std::string::npos) continue;
    std::set<QString> shape_ids;
    tamtest::Element part = pkg.xml(e.name);
    for (const auto* c : part.all("p:cNvPr")) EXPECT_TRUE(shape_ids.insert(c->attr("id")).second) << e.name;
  }

  // The notes master has a theme of its own.
  tamtest::Element nm_rels = pkg.xml("ppt/notesMasters/_rels/notesMaster1.xml.rels");
  ASSERT_EQ(nm_rels.all("Relationship").size(), 1u);
  EXPECT_EQ(nm_rels.all("Relationship")[0]->attr("Target"), "../theme/theme2.xml");
  int media = 0;
  for (const auto& e : pkg.entries) media += e.name.starts_with("ppt/media/");
  EXPECT_EQ(media, 2);
}

TEST_F(PptxWriterTest, SlidesCarryCaptionNotesAndPictureBoxes) {
  PresentationData data;
  auto jpeg = JpegMedia(tamtest::TestData("jpeg/good/testorig.jpg"), 227, 149);
  PictureSlide(data, "写真 & memo<02>.jpeg", jpeg);
  PictureSlide(data, "big.png", PngMedia(1920, 1080));
  std::string out = dir / "b.pptx";
  if (const char* keep = std::getenv("TAM_KEEP_PPTX")) out = keep;
  SavePptx(data, out);
  tamtest::Package pkg = tamtest::ReadPackage(out);

  tamtest::Element s1 = pkg.xml("ppt/slides/slide1.xml");
  auto shapes = s1.child("p:cSld")->child("p:spTree")->children;
  // nvGrpSpPr, grpSpPr, then title, text box, picture in z-order.
  ASSERT_EQ(shapes.size(), 5u);
  EXPECT_EQ(shapes[2].name, "p:sp");
  EXPECT_EQ(shapes[2].all("p:ph")[0]->attr("type"), "ctrTitle");
  EXPECT_EQ(shapes[2].Text(), "写真 & memo<02>.jpeg");
  EXPECT_EQ(shapes[2].all("a:rPr")[0]->attr("sz"), "800");
  const auto* off = shapes[2].all("a:off")[0];
  EXPECT_EQ(off->attr("x"), "0");
  EXPECT_EQ(off->attr("y"), "0");
  EXPECT_EQ(shapes[3].all("p:cNvSpPr")[0]->attr("txBox"), "1");
  EXPECT_EQ(shapes[3].all("a:ext")[0]->attr("cx"), "6350000");
  EXPECT_EQ(shapes[3].all("a:ext")[0]->attr("cy"), "635000");
  EXPECT_EQ(shapes[4].name, "p:pic");
  EXPECT_EQ(shapes[4].all("a:ext")[0]->attr("cx"), QString::number(227 * 9525));
  // The JPEG is stored byte for byte.
  auto original = tamtest::ReadBytes(tamtest::TestData("jpeg/good/testorig.jpg"));
  ASSERT_TRUE(pkg.has("ppt/media/image1.jpeg"));
  EXPECT_EQ(pkg.data("ppt/media/image1.jpeg"),
            QByteArray(reinterpret_cast<const char*>(original.data()), qsizetype(original.size())));
  // The slide uses the blank layout after the switch.
  tamtest::Element rels_xml = pkg.xml("ppt/slides/_rels/slide1.xml.rels");
  auto rels = rels_xml.all("Relationship");
  EXPECT_EQ(rels[0]->attr("Target"), "../slideLayouts/slideLayout2.xml");

  tamtest::Element n1 = pkg.xml("ppt/notesSlides/notesSlide1.xml");
  auto ph = n1.all("p:ph");
  ASSERT_EQ(ph.size(), 2u);
  EXPECT_EQ(ph[0]->attr("type"), "sldImg");
  EXPECT_EQ(ph[1]->attr("type"), "body");
  EXPECT_EQ(n1.Text(), "写真 & memo<02>.jpeg");

  // A wide picture is scaled to the slide's width and centred vertically.
  tamtest::Element s2 = pkg.xml("ppt/slides/slide2.xml");
  const tamtest::Element* pic = s2.all("p:pic")[0];
  EXPECT_EQ(pic->all("a:ext")[0]->attr("cx"), "9144000");
  EXPECT_EQ(pic->all("a:ext")[0]->attr("cy"), "5143500");
  EXPECT_EQ(pic->all("a:off")[0]->attr("y"), QString::number((6858000 - 5143500) / 2));
}

TEST_F(PptxWriterTest, TextThatXmlCannotCarryIsReplacedNotBroken) {
  PresentationData data;
  auto s = MakeSlide(data.next_slide_id++, kLayoutTitle);
  s->shapes[0].text =
      "a\x01\xED\xA0\x80"
      "b\r\nc";  // a C0 control, a UTF-8-encoded lone surrogate
  s->notes = "x\"y'z\t";
  data.slides.push_back(s);
  std::string out = dir / "c.pptx";
  SavePptx(data, out);
  tamtest::Package pkg = tamtest::ReadPackage(out);
  tamtest::Element s1 = pkg.xml("ppt/slides/slide1.xml");
  EXPECT_EQ(s1.all("p:sp")[0]->Text(), "a" + QString(4, QChar(0xFFFD)) + "b\nc");
  EXPECT_EQ(pkg.xml("ppt/notesSlides/notesSlide1.xml").Text(), "x\"y'z\t");
}

TEST_F(PptxWriterTest, EmptyPresentationIsStillAValidPackage) {
  PresentationData data;
  std::string out = dir / "empty.pptx";
  SavePptx(data, out);
  EXPECT_TRUE(IsPresentationFile(out));
  tamtest::Package pkg = tamtest::ReadPackage(out);
  std::map<QString, QString> defaults, overrides;
  ExpectConsistent(pkg, defaults, overrides);
  EXPECT_TRUE(pkg.has("ppt/notesMasters/notesMaster1.xml"));
  EXPECT_EQ(overrides["/ppt/presentation.xml"],
            "application/vnd.openxmlformats-officedocument.presentationml.presentation.main+xml");
  tamtest::Element pres = pkg.xml("ppt/presentation.xml");
  EXPECT_TRUE(pres.all("p:sldId").empty());
}

TEST_F(PptxWriterTest, FailedSaveKeepsTheEarlierFileAndNamesTheFile) {
  PresentationData data;
  PictureSlide(data, "a.png", PngMedia(64, 64));
  std::string out = dir / "keep.pptx";
  SavePptx(data, out);
  auto before = tamtest::ReadBytes(out);

  // A file size limit makes the write fail part way, even for root.
  PictureSlide(data, "b.png", PngMedia(1200, 900));
  auto noise = std::make_shared<Media>();
  QImage img(800, 800, QImage::Format_RGB32);
  for (int y = 0; y < 800; ++y)
    for (int x = 0; x < 800; ++x)
      img.setPixel(x, y, qRgb((x * 7919 + y * 104729) % 251, (x ^ y) & 255, (x * y) & 255));
  noise->bytes = PngBytes(img);
  noise->width = noise->height = 800;
  PictureSlide(data, "noise.png", noise);
  std::signal(SIGXFSZ, SIG_IGN);
  rlimit old;
  getrlimit(RLIMIT_FSIZE, &old);
  rlimit small = old;
  small.rlim_cur = 200 * 1024;
  setrlimit(RLIMIT_FSIZE, &small);
  std::string message;
  try {
    SavePptx(data, out);
  } catch (const Error& e) {
    message = e.what();
  }
  setrlimit(RLIMIT_FSIZE, &old);
  EXPECT_NE(message.find("keep.pptx"), std::string::npos) << message;
  // The archive's failure is told in the user's words, not the zip library's.
  EXPECT_NE(message.find("書き込みエラー: " + SystemReason(EFBIG)), std::string::npos) << message;
  EXPECT_EQ(tamtest::ReadBytes(out), before);
  int files = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir.path())) ++files;
  EXPECT_EQ(files, 1) << "temporary file left behind";

  // A folder that does not exist.
  try {
    SavePptx(data, dir / "no/such/folder.pptx");
    FAIL();
  } catch (const Error& e) {
    EXPECT_NE(std::string(e.what()).find("folder.pptx"), std::string::npos);
  }
}

// A picture that names its file is read from it as the package is written:
// the package is byte for byte the one made from held bytes, and a file gone
// or changed since the picture was placed fails the save, naming the picture,
// with the earlier file kept and nothing left behind.
TEST_F(PptxWriterTest, PictureReadFromItsFileAtSaveTimeOrTheSaveFails) {
  const std::string photo = dir / "photo.jpg";
  // Written, not copied: a copy keeps the test data's read-only mode, which
  // binds every user but root, and the photo is changed below.
  const auto bytes = tamtest::ReadBytes(tamtest::TestData("jpeg/good/testorig.jpg"));
  tamtest::WriteBytes(photo, bytes);
  auto held = JpegMedia(photo, 227, 149);
  auto from_file = std::make_shared<Media>(*held);
  from_file->bytes.clear();
  from_file->file = MediaFile{photo, bytes.size(), MediaCrc(bytes.data(), bytes.size())};
  auto save = [&](std::shared_ptr<const Media> media, const std::string& out) {
    PresentationData data;
    PictureSlide(data, "a.jpg", media);
    PictureSlide(data, "b.png", PngMedia(64, 48));
    PictureSlide(data, "a again.jpg", media);
    PptxOptions options;
    options.time = 1767225600;
    SavePptx(data, out, options);
  };
  const std::string out = dir / "made.pptx";
  save(held, dir / "held.pptx");
  save(from_file, out);
  const auto saved = tamtest::ReadBytes(out);
  EXPECT_EQ(saved, tamtest::ReadBytes(dir / "held.pptx"));

  auto expect_refused = [&](const char* what) {
    std::string message;
    try {
      save(from_file, out);
    } catch (const Error& e) {
      message = e.what();
    }
    EXPECT_NE(message.find("made.pptx"), std::string::npos) << what << ": " << message;
    EXPECT_NE(message.find("photo.jpg"), std::string::npos) << what << ": " << message;
    EXPECT_EQ(tamtest::ReadBytes(out), saved) << what;
    for (const auto& e : std::filesystem::directory_iterator(dir.path())) {
      const std::string name = e.path().filename();
      EXPECT_TRUE(name == "held.pptx" || name == "made.pptx" || name == "photo.jpg") << what << ": " << name;
    }
  };
  // One byte changed in the middle, the size the same.
  auto changed = bytes;
  changed[changed.size() / 2] ^= 0x01;
  tamtest::WriteBytes(photo, changed);
  expect_refused("changed");
  auto longer = bytes;
  longer.push_back(0);
  tamtest::WriteBytes(photo, longer);
  expect_refused("grown");
  tamtest::WriteBytes(photo, std::vector<std::uint8_t>(bytes.begin(), bytes.end() - 1));
  expect_refused("shortened");
  std::filesystem::remove(photo);
  ASSERT_EQ(mkfifo(photo.c_str(), 0600), 0);  // nobody writes it: a blocking read would hang
  expect_refused("a FIFO now");
  std::filesystem::remove(photo);
  expect_refused("gone");
}

// A trash that only notes what it was handed.
struct NotingTrash : Trash {
  std::vector<std::string> handed;
  bool MoveToTrash(const std::string& path) override {
    handed.push_back(path);
    return true;
  }
};

// The save puts its file in place as every other write does: through a link
// to an earlier presentation, never through one to anything else (the photo
// behind it is neither trashed nor replaced), never over somebody's file
// without a trash to put it in, never over a file the user may not write.
TEST_F(PptxWriterTest, SaveGoesThroughLinksToPresentationsOnlyAndRespectsWriteProtection) {
  PresentationData data;
  PictureSlide(data, "a.png", PngMedia(64, 64));
  NotingTrash trash;
  PptxOptions trashing;
  trashing.foreign_to = &trash;
  tamtest::WriteText(dir / "photo.jpg", "photo");
  ASSERT_EQ(::symlink("photo.jpg", (dir / "link.pptx").c_str()), 0);
  const std::string refused = tamtest::ErrorOf([&] { SavePptx(data, dir / "link.pptx", trashing); });
  EXPECT_NE(refused.find("link.pptx"), std::string::npos) << refused;
  EXPECT_TRUE(trash.handed.empty());
  const auto photo = tamtest::ReadBytes(dir / "photo.jpg");
  EXPECT_TRUE(std::string(photo.begin(), photo.end()) == "photo");
  // Nor is somebody's file at the name itself replaced when no trash is given.
  tamtest::WriteText(dir / "notes.pptx", "notes");
  EXPECT_NE(tamtest::ErrorOf([&] { SavePptx(data, dir / "notes.pptx"); }).find("notes.pptx"),
            std::string::npos);
  const auto notes = tamtest::ReadBytes(dir / "notes.pptx");
  EXPECT_TRUE(std::string(notes.begin(), notes.end()) == "notes");

  SavePptx(data, dir / "real.pptx");
  ASSERT_EQ(::unlink((dir / "link.pptx").c_str()), 0);
  ASSERT_EQ(::symlink("real.pptx", (dir / "link.pptx").c_str()), 0);
  PictureSlide(data, "b.png", PngMedia(64, 64));
  SavePptx(data, dir / "link.pptx", trashing);
  struct stat st;
  ASSERT_EQ(::lstat((dir / "link.pptx").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_TRUE(tamtest::ReadPackage(dir / "real.pptx").has("ppt/slides/slide2.xml"));
  EXPECT_TRUE(trash.handed.empty());

  ASSERT_EQ(::chmod((dir / "real.pptx").c_str(), 0444), 0);
  const auto before = tamtest::ReadBytes(dir / "real.pptx");
  const int result = tamtest::RunUnprivileged(dir.path(), [&] {
    const std::string message = tamtest::ErrorOf([&] { SavePptx(data, dir / "link.pptx"); });
    return message.find(SystemReason(EACCES)) != std::string::npos ? 0 : 1;
  });
  if (result == tamtest::kNoUnprivilegedUser) GTEST_SKIP() << "no unprivileged user to be had";
  EXPECT_EQ(result, 0);
  EXPECT_EQ(tamtest::ReadBytes(dir / "real.pptx"), before);
  int files = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir.path())) ++files;
  EXPECT_EQ(files, 4) << "temporary file left behind";  // photo.jpg, notes.pptx, real.pptx, link.pptx
}

// A file the user may write but not read cannot be shown to be an earlier
// presentation: it is somebody's, and without a trash it stays.
TEST_F(PptxWriterTest, AFileThatCannotBeReadIsNotReplaced) {
  PresentationData data;
  PictureSlide(data, "a.png", PngMedia(64, 64));
  tamtest::WriteText(dir / "notes.pptx", "notes");
  ASSERT_EQ(::chmod((dir / "notes.pptx").c_str(), 0200), 0);
  const int result = tamtest::RunUnprivileged(dir.path(), [&] {
    return tamtest::ErrorOf([&] { SavePptx(data, dir / "notes.pptx"); }).find("notes.pptx") !=
                   std::string::npos
               ? 0
               : 1;
  });
  if (result == tamtest::kNoUnprivilegedUser) GTEST_SKIP() << "no unprivileged user to be had";
  EXPECT_EQ(result, 0) << "replaced";
  ASSERT_EQ(::chmod((dir / "notes.pptx").c_str(), 0600), 0);
  const auto notes = tamtest::ReadBytes(dir / "notes.pptx");
  EXPECT_TRUE(std::string(notes.begin(), notes.end()) == "notes");
}

// Writes an archive of the given entries, as another program would.
void WriteZip(const std::string& path, const std::vector<std::pair<std::string, std::string>>& entries) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  ASSERT_TRUE(fd);
  ZipWriter zip(fd.get(), 0);
  for (const auto& [name, text] : entries) zip.Add(name, text);
  zip.Close();
}

// Only a presentation package counts as an earlier presentation: a zip of
// photos or a word processor's document under a .pptx name is somebody's
// data. Damaged and lying archives are judged at once, never read at the
// sizes they claim.
TEST_F(PptxWriterTest, OnlyAPresentationPackageIsAnEarlierPresentation) {
  PresentationData data;
  PictureSlide(data, "a.png", PngMedia(16, 16));
  SavePptx(data, dir / "ours.pptx");
  const std::vector<std::uint8_t> ours = tamtest::ReadBytes(dir / "ours.pptx");
  const std::size_t end = ours.size() - 22;  // our end record has no comment
  ASSERT_EQ(std::memcmp(&ours[end], "PK\5\6", 4), 0);

  WriteZip(dir / "photos.pptx", {{"IMG_0001.jpg", "\xFF\xD8\xFF\xE0"}, {"IMG_0002.jpg", "\xFF\xD8\xFF\xE0"}});
  WriteZip(dir / "report.pptx",
           {{"[Content_Types].xml", "<Types/>"}, {"word/document.xml", "<w:document/>"}});
  tamtest::WriteText(dir / "notes.pptx", "my notes");
  tamtest::WriteBytes(dir / "truncated.pptx", {ours.begin(), ours.begin() + ours.size() / 2});
  auto outside = ours;
  outside[end + 19] = 0x7F;  // the directory's offset, far past the end
  tamtest::WriteBytes(dir / "outside.pptx", outside);
  auto counted = ours;
  std::fill_n(&counted[end + 8], 4, 0xFF);  // 65 535 entries claimed: the walk trusts no count
  tamtest::WriteBytes(dir / "counted.pptx", counted);

  // 256 GiB of holes whose end records claim a directory of all of it and
  // 2^62 entries: reading it as claimed would take the memory or the time.
  const std::uint64_t huge = std::uint64_t{256} << 30;
  std::vector<std::uint8_t> tail(56 + 20 + 22);
  const auto put = [&](std::size_t at, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) tail[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
  };
  const std::uint64_t record_at = huge - tail.size();
  std::memcpy(&tail[0], "PK\6\6", 4);
  put(32, std::uint64_t{1} << 62, 8);  // entries
  put(40, record_at, 8);               // directory size
  put(48, 0, 8);                       // directory offset
  std::memcpy(&tail[56], "PK\6\7", 4);
  put(56 + 8, record_at, 8);
  std::memcpy(&tail[76], "PK\5\6", 4);
  put(76 + 8, 0xFFFF, 2);
  put(76 + 10, 0xFFFF, 2);
  put(76 + 12, 0xFFFFFFFF, 4);
  put(76 + 16, 0xFFFFFFFF, 4);
  {
    UniqueFd fd(::open((dir / "sparse.pptx").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    ASSERT_TRUE(fd);
    if (::ftruncate(fd.get(), static_cast<off_t>(huge)) != 0) GTEST_SKIP() << "no room for a sparse file";
    ASSERT_EQ(::pwrite(fd.get(), tail.data(), tail.size(), static_cast<off_t>(record_at)),
              static_cast<ssize_t>(tail.size()));
  }

  for (const auto& [name, presentation] :
       std::vector<std::pair<std::string, bool>>{{dir / "ours.pptx", true},
                                                 {tamtest::TestData("pptx/minimal-reference.pptx"), true},
                                                 {dir / "counted.pptx", true},
                                                 {dir / "photos.pptx", false},
                                                 {dir / "report.pptx", false},
                                                 {dir / "notes.pptx", false},
                                                 {dir / "truncated.pptx", false},
                                                 {dir / "outside.pptx", false},
                                                 {dir / "sparse.pptx", false}}) {
    EXPECT_EQ(IsPresentationFile(name), presentation) << name;
    EXPECT_EQ(IsForeignFile(name), !presentation) << name;
  }
}

// Past 65535 entries the archive would need Zip64, which not every reader knows.
TEST_F(PptxWriterTest, TooManyPartsIsRefusedNotWrittenAsZip64) {
  PresentationData data;
  auto blank = MakeSlide(256, kLayoutBlank);
  for (int i = 0; i < 16400; ++i) data.slides.push_back(blank);
  std::string out = dir / "huge.pptx";
  try {
    SavePptx(data, out);
    FAIL();
  } catch (const Error& e) {
    EXPECT_NE(std::string(e.what()).find("huge.pptx"), std::string::npos);
  }
  EXPECT_FALSE(tamtest::Exists(out));
}

// The reference package beside the test data was validated against the
// ISO 29500 schemas and opened by LibreOffice: our fixed parts say the same,
// and our slides and notes have the same shape, element for element.
bool SameTree(const tamtest::Element& a, const tamtest::Element& b, bool values) {
  if (a.name != b.name || a.children.size() != b.children.size()) return false;
  if (values && (a.attrs != b.attrs || a.text.trimmed() != b.text.trimmed())) return false;
  if (!values) {
    for (const auto& [k, v] : a.attrs)
      if (!b.attrs.count(k)) return false;
    if (a.attrs.size() != b.attrs.size()) return false;
  }
  for (std::size_t i = 0; i < a.children.size(); ++i)
    if (!SameTree(a.children[i], b.children[i], values)) return false;
  return true;
}

TEST_F(PptxWriterTest, PartsMatchTheValidatedReferencePackage) {
  tamtest::Package ref = tamtest::ReadPackage(tamtest::TestData("pptx/minimal-reference.pptx"));
  PresentationData data;
  PictureSlide(data, "IMG_01.png", PngMedia(480, 360));
  PictureSlide(data, "b.jpeg", JpegMedia(tamtest::TestData("jpeg/good/testorig.jpg"), 227, 149));
  std::string out = dir / "same.pptx";
  SavePptx(data, out);
  tamtest::Package ours = tamtest::ReadPackage(out);

  std::set<std::string> ref_names, our_names;
  for (const auto& e : ref.entries) ref_names.insert(e.name);
  for (const auto& e : ours.entries) our_names.insert(e.name);
  EXPECT_EQ(our_names, ref_names);

  for (const char* part :
       {"ppt/presentation.xml", "ppt/_rels/presentation.xml.rels", "_rels/.rels",
        "ppt/slideMasters/slideMaster1.xml", "ppt/slideMasters/_rels/slideMaster1.xml.rels",
        "ppt/slideLayouts/slideLayout1.xml", "ppt/slideLayouts/slideLayout2.xml",
        "ppt/notesMasters/notesMaster1.xml", "ppt/notesMasters/_rels/notesMaster1.xml.rels",
        "ppt/theme/theme1.xml", "ppt/theme/theme2.xml", "ppt/presProps.xml", "ppt/viewProps.xml",
        "ppt/tableStyles.xml", "ppt/notesSlides/_rels/notesSlide1.xml.rels"})
    EXPECT_TRUE(SameTree(ours.xml(part), ref.xml(part), true)) << part;
  for (const char* part :
       {"ppt/slides/slide1.xml", "ppt/slides/slide2.xml", "ppt/notesSlides/notesSlide1.xml",
        "ppt/slides/_rels/slide1.xml.rels", "[Content_Types].xml", "docProps/app.xml", "docProps/core.xml"})
    EXPECT_TRUE(SameTree(ours.xml(part), ref.xml(part), false)) << part;
  tamtest::Element slide = ours.xml("ppt/slides/slide1.xml");
  tamtest::Element ref_slide = ref.xml("ppt/slides/slide1.xml");
  EXPECT_TRUE(SameTree(slide, ref_slide, false));
  EXPECT_EQ(slide.all("a:xfrm")[0]->children[1].attrs, ref_slide.all("a:xfrm")[0]->children[1].attrs);
  EXPECT_EQ(slide.all("p:pic")[0]->all("a:ext")[0]->attrs, ref_slide.all("p:pic")[0]->all("a:ext")[0]->attrs);
}

}  // namespace
}  // namespace tam::pres
