// Draws the pictures of the resource library from their SVG sources, so that no picture
// of Resource.so exists only as an opaque binary.
//
//   artgen LIST OUTDIR
//
// LIST lines (blank lines and lines starting with '#' are skipped):
//   KIND ID SOURCE.svg WIDTHxHEIGHT MODE [frames=N] [NAME=VALUE...]
// KIND is picture, icon or clip; MODE says how transparency is stored:
//   key    24-bit PNG, magenta (255,0,255) wherever the drawing is transparent. Partly
//          covered edge pixels are blended onto matte=#rrggbb (the colour the picture is
//          shown on; default white), so a colour-keyed picture still has smooth edges.
//   black  24-bit BMP on black (the overlay logo, which the frame code adds to each frame
//          and reads as BMP).
//   png    PNG with an alpha channel (icons, the cursor).
// In the SVG text, {{NAME}} is replaced by the line's NAME=VALUE (NAME="..." may hold
// blanks), so one source draws
// every state of a button. frames=N draws N frames side by side into one strip of
// N*WIDTH x HEIGHT (an animation clip); in frame i of N, {{A:B}} becomes A + (B-A)*i/(N-1).
//
// Writes OUTDIR/KIND-ID.{png,bmp} and OUTDIR/manifest.txt ("KIND ID FILE" lines for resgen).

#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QRegularExpression>
#include <QSvgRenderer>
#include <QTextStream>

#include <cstdio>
#include <cstdlib>
#include <map>

namespace {

[[noreturn]] void Fail(const QString& where, const QString& what) {
  std::fprintf(stderr, "artgen: %s: %s\n", qPrintable(where), qPrintable(what));
  std::exit(1);
}

struct Item {
  QString kind;
  int id = 0;
  QString source;
  QSize size;
  QString mode;
  int frames = 1;
  QColor matte = Qt::white;
  std::map<QString, QString> values;
};

// Fills the template for frame `frame` of `frames`.
QByteArray Expand(const QString& text, const Item& item, int frame, const QString& where) {
  static const QRegularExpression token(QStringLiteral("\\{\\{([^}]*)\\}\\}"));
  QString out;
  qsizetype last = 0;
  for (auto it = token.globalMatch(text); it.hasNext();) {
    const QRegularExpressionMatch m = it.next();
    out += text.mid(last, m.capturedStart() - last);
    const QString name = m.captured(1).trimmed();
    if (auto v = item.values.find(name); v != item.values.end()) {
      out += v->second;
    } else if (const QStringList ends = name.split(':'); ends.size() == 2) {
      bool okA = false, okB = false;
      const double a = ends[0].toDouble(&okA), b = ends[1].toDouble(&okB);
      if (!okA || !okB) Fail(where, "{{" + name + "}} is not a range A:B");
      const double t = item.frames > 1 ? double(frame) / (item.frames - 1) : 0.0;
      out += QString::number(a + (b - a) * t, 'f', 3);
    } else {
      Fail(where, "{{" + name + "}} has no value");
    }
    last = m.capturedEnd();
  }
  out += text.mid(last);
  return out.toUtf8();
}

QImage Render(const Item& item, const QString& svgText, const QString& where) {
  QImage strip(item.size.width() * item.frames, item.size.height(), QImage::Format_ARGB32_Premultiplied);
  strip.fill(Qt::transparent);
  QPainter painter(&strip);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setRenderHint(QPainter::SmoothPixmapTransform);
  for (int f = 0; f < item.frames; ++f) {
    QSvgRenderer svg(Expand(svgText, item, f, where));
    if (!svg.isValid()) Fail(where, item.source + " is not valid SVG");
    svg.render(&painter, QRectF(f * item.size.width(), 0, item.size.width(), item.size.height()));
  }
  painter.end();
  return strip;
}

// Flattens the alpha channel: fully transparent pixels take `empty`, partly covered
// ones are blended onto the matte, so edges fit the background they are shown on.
QImage Flatten(const QImage& drawn, QColor empty, QColor matte) {
  QImage out(drawn.size(), QImage::Format_RGB888);
  const QImage src = drawn.convertToFormat(QImage::Format_ARGB32);
  for (int y = 0; y < src.height(); ++y) {
    const auto* in = reinterpret_cast<const QRgb*>(src.constScanLine(y));
    uchar* o = out.scanLine(y);
    for (int x = 0; x < src.width(); ++x, o += 3) {
      const int a = qAlpha(in[x]);
      // Below this coverage a pixel is background; keyed pictures get crisp outlines.
      constexpr int kVisible = 24;
      QColor c;
      if (a < kVisible) {
        c = empty;
      } else {
        auto mix = [a](int fg, int bg) { return (fg * a + bg * (255 - a) + 127) / 255; };
        c = QColor(mix(qRed(in[x]), matte.red()), mix(qGreen(in[x]), matte.green()),
                   mix(qBlue(in[x]), matte.blue()));
        // A blended pixel must never come out as the key colour itself.
        if (c == QColor(255, 0, 255) && empty == c) c = QColor(254, 0, 254);
      }
      o[0] = uchar(c.red());
      o[1] = uchar(c.green());
      o[2] = uchar(c.blue());
    }
  }
  return out;
}

// Words separated by blanks; a double-quoted stretch (NAME="a b") keeps its blanks.
QStringList SplitWords(const QString& line, const QString& where) {
  QStringList words;
  QString word;
  bool quoted = false, any = false;
  for (const QChar c : line) {
    if (c == '"') {
      quoted = !quoted;
      any = true;
    } else if (c.isSpace() && !quoted) {
      if (any) words << word;
      word.clear();
      any = false;
    } else {
      word += c;
      any = true;
    }
  }
  if (quoted) Fail(where, "a quote is not closed");
  if (any) words << word;
  return words;
}

Item ParseLine(const QString& line, const QString& where) {
  const QStringList words = SplitWords(line, where);
  if (words.size() < 5) Fail(where, "expected KIND ID SOURCE WIDTHxHEIGHT MODE");
  Item item;
  item.kind = words[0];
  if (item.kind != "picture" && item.kind != "icon" && item.kind != "clip") Fail(where, "unknown kind " + item.kind);
  bool ok = false;
  item.id = words[1].toInt(&ok);
  if (!ok) Fail(where, "bad identifier " + words[1]);
  item.source = words[2];
  const QStringList wh = words[3].split('x');
  if (wh.size() != 2 || wh[0].toInt() <= 0 || wh[1].toInt() <= 0) Fail(where, "bad size " + words[3]);
  item.size = QSize(wh[0].toInt(), wh[1].toInt());
  item.mode = words[4];
  if (item.mode != "key" && item.mode != "black" && item.mode != "png") Fail(where, "unknown mode " + item.mode);
  for (qsizetype i = 5; i < words.size(); ++i) {
    const qsizetype eq = words[i].indexOf('=');
    if (eq <= 0) Fail(where, "expected NAME=VALUE, got " + words[i]);
    const QString name = words[i].left(eq), value = words[i].mid(eq + 1);
    if (name == "frames") {
      item.frames = value.toInt();
      if (item.frames < 1) Fail(where, "frames must be at least 1");
    } else if (name == "matte") {
      item.matte = QColor(value);
      if (!item.matte.isValid()) Fail(where, "bad matte colour " + value);
    } else {
      item.values[name] = value;
    }
  }
  return item;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: artgen LIST OUTDIR\n");
    return 2;
  }
  // Text in the drawings needs the font database, which needs an application; no display.
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication app(argc, argv);
  const QString listPath = QString::fromLocal8Bit(argv[1]);
  const QString sourceDir = listPath.left(listPath.lastIndexOf('/') + 1);
  const QString outDir = QString::fromLocal8Bit(argv[2]);

  QFile list(listPath);
  if (!list.open(QIODevice::ReadOnly | QIODevice::Text)) Fail(listPath, "cannot be read");
  QString manifest = "# Generated by artgen; do not edit.\n";
  QTextStream in(&list);
  for (int lineNo = 1; !in.atEnd(); ++lineNo) {
    const QString line = in.readLine().trimmed();
    if (line.isEmpty() || line.startsWith('#')) continue;
    const QString where = listPath + ":" + QString::number(lineNo);
    const Item item = ParseLine(line, where);
    QFile source(sourceDir + item.source);
    if (!source.open(QIODevice::ReadOnly)) Fail(where, item.source + " cannot be read");
    const QImage drawn = Render(item, QString::fromUtf8(source.readAll()), where);

    const bool bmp = item.mode == "black";
    const QString file = item.kind + "-" + QString::number(item.id) + (bmp ? ".bmp" : ".png");
    const QImage out = item.mode == "png" ? drawn.convertToFormat(QImage::Format_ARGB32)
                       : bmp              ? Flatten(drawn, Qt::black, Qt::black)
                                          : Flatten(drawn, QColor(255, 0, 255), item.matte);
    if (!out.save(outDir + "/" + file, bmp ? "BMP" : "PNG")) Fail(where, "cannot write " + file);
    manifest += item.kind + " " + QString::number(item.id) + " " + file + "\n";
  }

  QFile out(outDir + "/manifest.txt");
  if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) || out.write(manifest.toUtf8()) < 0)
    Fail(outDir, "cannot write manifest.txt");
  return 0;
}
