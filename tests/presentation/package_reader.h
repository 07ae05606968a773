// SPDX-License-Identifier: MIT
#pragma once
// Reads a written .pptx back for the tests: the zip entries with what their
// headers say, and the XML parts as small element trees.
#include <zip.h>

#include <QApplication>
#include <QByteArray>
#include <QGuiApplication>
#include <QString>
#include <QXmlStreamReader>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/qtapp.h"

namespace tamtest {

// One QApplication for the whole test program (widgets and the clipboard).
inline void EnsureApp() { App(); }

struct Element {
  QString name;  // qualified, e.g. "p:sp"
  std::map<QString, QString> attrs;
  QString text;
  std::vector<Element> children;

  QString attr(const QString& n) const {
    auto it = attrs.find(n);
    return it == attrs.end() ? QString() : it->second;
  }
  const Element* child(const QString& n) const {
    for (const auto& c : children)
      if (c.name == n) return &c;
    return nullptr;
  }
  // Every element below this one (depth first) with the given name.
  void FindAll(const QString& n, std::vector<const Element*>& out) const {
    for (const auto& c : children) {
      if (c.name == n) out.push_back(&c);
      c.FindAll(n, out);
    }
  }
  std::vector<const Element*> all(const QString& n) const {
    std::vector<const Element*> out;
    FindAll(n, out);
    return out;
  }
  // The text of every a:t below, paragraphs joined by "\n".
  QString Text() const {
    QString s;
    bool first = true;
    for (const Element* p : all("a:p")) {
      if (!first) s += '\n';
      first = false;
      for (const Element* t : p->all("a:t")) s += t->text;
    }
    return s;
  }
};

inline Element ParseXml(const QByteArray& xml) {
  QXmlStreamReader r(xml);
  Element root;
  std::vector<Element*> stack;
  while (!r.atEnd()) {
    r.readNext();
    if (r.isStartElement()) {
      Element e;
      e.name = r.qualifiedName().toString();
      for (const auto& a : r.attributes()) e.attrs[a.qualifiedName().toString()] = a.value().toString();
      if (stack.empty()) {
        root = e;
        stack.push_back(&root);
      } else {
        stack.back()->children.push_back(e);
        stack.push_back(&stack.back()->children.back());
      }
    } else if (r.isEndElement()) {
      stack.pop_back();
    } else if (r.isCharacters() && !stack.empty()) {
      stack.back()->text += r.text().toString();
    }
  }
  if (r.hasError()) throw std::runtime_error("XML error: " + r.errorString().toStdString());
  return root;
}

struct ZipEntry {
  std::string name;
  QByteArray data;
  zip_uint16_t method = 0;
  int extra_fields = 0;
};

struct Package {
  std::vector<ZipEntry> entries;  // in the archive's order
  std::map<std::string, std::size_t> index;
  bool has(const std::string& name) const { return index.count(name) != 0; }
  const QByteArray& data(const std::string& name) const { return entries.at(index.at(name)).data; }
  Element xml(const std::string& name) const { return ParseXml(data(name)); }
};

inline Package ReadPackage(const std::string& path) {
  int err = 0;
  zip_t* za = zip_open(path.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &err);
  if (!za) throw std::runtime_error("cannot open zip " + path + " code " + std::to_string(err));
  std::unique_ptr<zip_t, void (*)(zip_t*)> guard(za, [](zip_t* z) { zip_discard(z); });
  Package pkg;
  zip_int64_t n = zip_get_num_entries(za, 0);
  for (zip_int64_t i = 0; i < n; ++i) {
    zip_stat_t st;
    zip_stat_index(za, i, 0, &st);
    ZipEntry e;
    e.name = st.name;
    e.method = st.comp_method;
    e.extra_fields =
        zip_file_extra_fields_count(za, i, ZIP_FL_CENTRAL) + zip_file_extra_fields_count(za, i, ZIP_FL_LOCAL);
    e.data.resize(static_cast<qsizetype>(st.size));
    zip_file_t* f = zip_fopen_index(za, i, 0);
    if (!f) throw std::runtime_error("cannot read " + e.name);
    zip_int64_t got = zip_fread(f, e.data.data(), st.size);
    zip_fclose(f);
    if (got != static_cast<zip_int64_t>(st.size)) throw std::runtime_error("short read " + e.name);
    pkg.index[e.name] = pkg.entries.size();
    pkg.entries.push_back(std::move(e));
  }
  return pkg;
}

// Resolves a relationship target against the folder of the part that names it.
inline std::string ResolveTarget(const std::string& source_part, const std::string& target) {
  std::string folder = source_part.substr(0, source_part.rfind('/') + 1);
  std::vector<std::string> parts;
  std::string path = folder + target, seg;
  for (std::size_t i = 0; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == '/') {
      if (seg == "..") {
        if (!parts.empty()) parts.pop_back();
      } else if (!seg.empty() && seg != ".") {
        parts.push_back(seg);
      }
      seg.clear();
    } else {
      seg += path[i];
    }
  }
  std::string out;
  for (const auto& p : parts) out += (out.empty() ? "" : "/") + p;
  return out;
}

// The part a .rels file describes: "ppt/_rels/presentation.xml.rels" -> "ppt/presentation.xml".
inline std::string RelsSource(const std::string& rels) {
  std::size_t slash = rels.rfind("_rels/");
  std::string folder = rels.substr(0, slash);
  std::string name = rels.substr(slash + 6);
  return folder + name.substr(0, name.size() - 5);
}

}  // namespace tamtest
