// Draws the program's icon, a satellite with its solar panels, dish and signal, and
// writes it as a Windows .ico file with the eight images the program carries: 32 and
// 16 pixels at 16 colours, 48, 32 and 16 pixels at 256 colours and at 32-bit colour.
//
//   make_icon OUTPUT.ico
//
// Everything is integer arithmetic, so the file comes out the same byte for byte on
// every host and compiler; resources/sentrova.ico is this program's output.
#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

struct Rgb {
  int red;
  int green;
  int blue;
};

struct ImageFormat {
  int size;      // pixels square
  int bitCount;  // 4, 8 or 32
};

constexpr ImageFormat kFormats[] = {{32, 4}, {16, 4}, {48, 8}, {32, 8}, {16, 8},
                                    {48, 32}, {32, 32}, {16, 32}};
constexpr int kFormatCount = sizeof(kFormats) / sizeof(kFormats[0]);

constexpr int kCanvas = 96;       // the artwork's own units, at any pixel size
constexpr int kSubsamples = 4;    // 4 x 4 samples per pixel
constexpr int kSampleCount = kSubsamples * kSubsamples;

constexpr Rgb kPanelFrame = {0x1B, 0x3C, 0x73};
constexpr Rgb kPanelCell = {0x28, 0x50, 0xE8};
constexpr Rgb kStrut = {0x6E, 0x6E, 0x6E};
constexpr Rgb kBody = {0xF2, 0xB7, 0x05};
constexpr Rgb kBodyEdge = {0x8C, 0x6A, 0x00};
constexpr Rgb kDish = {0xA8, 0xA8, 0xA8};
constexpr Rgb kSignal = {0xE5, 0x48, 0x2E};

int64_t Abs(int64_t value) { return value < 0 ? -value : value; }

// The colour of the artwork at one sample, or false where it is transparent. u runs
// along the diagonal towards the bottom right (the dish), v towards the top right (a
// panel); both are in canvas units times scale, times the square root of two.
// The signal is left out of the 16-pixel images, where it would be a few stray dots.
bool ArtworkAt(int64_t u, int64_t v, int64_t scale, bool withSignal, Rgb* colour) {
  const int64_t k = scale;
  // Signal: two arcs beyond the dish, within 30 degrees of its axis.
  int64_t du = u - 30 * k;
  int64_t distance2 = du * du + v * v;
  if (withSignal && du > 0 && 2 * Abs(v) <= du) {
    bool inner = distance2 >= (36 * k) * (36 * k) && distance2 <= (41 * k) * (41 * k);
    bool outer = distance2 >= (48 * k) * (48 * k) && distance2 <= (53 * k) * (53 * k);
    if (inner || outer) {
      *colour = kSignal;
      return true;
    }
  }
  // Dish: a crescent facing away from the body.
  int64_t inDish = (u - 30 * k) * (u - 30 * k) + v * v;
  int64_t inCut = (u - 40 * k) * (u - 40 * k) + v * v;
  if (inDish <= (16 * k) * (16 * k) && inCut > (14 * k) * (14 * k)) {
    *colour = kDish;
    return true;
  }
  // Body, drawn over the struts.
  if (Abs(u) <= 15 * k && Abs(v) <= 15 * k) {
    bool edge = Abs(u) > 11 * k || Abs(v) > 11 * k;
    *colour = edge ? kBodyEdge : kBody;
    return true;
  }
  // Stalk of the dish and struts of the panels.
  if ((Abs(v) <= 3 * k && u >= 0 && u <= 20 * k) || (Abs(u) <= 3 * k && Abs(v) <= 21 * k)) {
    *colour = kStrut;
    return true;
  }
  // Panels: a frame, a line down the middle and two across.
  int64_t along = Abs(v);
  if (Abs(u) <= 14 * k && along >= 20 * k && along <= 65 * k) {
    bool frame = Abs(u) > 11 * k || along < 23 * k || along > 62 * k || Abs(u) <= 1 * k ||
                 (along >= 34 * k && along <= 37 * k) || (along >= 48 * k && along <= 51 * k);
    *colour = frame ? kPanelFrame : kPanelCell;
    return true;
  }
  return false;
}

// The average colour of the covered samples of one pixel and how many there are.
struct PixelCover {
  Rgb colour;
  int covered;  // of kSampleCount
};

PixelCover CoverPixel(int size, int column, int row) {
  // Sample s of pixel p sits at canvas (2 (p S + s) + 1) * kCanvas / (2 size S); all
  // coordinates are kept multiplied by 2 size S.
  const int64_t scale = 2 * static_cast<int64_t>(size) * kSubsamples;
  PixelCover cover = {{0, 0, 0}, 0};
  int64_t red = 0, green = 0, blue = 0;
  for (int sy = 0; sy < kSubsamples; ++sy) {
    for (int sx = 0; sx < kSubsamples; ++sx) {
      int64_t x = (2 * (column * kSubsamples + sx) + 1) * static_cast<int64_t>(kCanvas);
      int64_t y = (2 * (row * kSubsamples + sy) + 1) * static_cast<int64_t>(kCanvas);
      int64_t dx = x - (kCanvas / 2) * scale;
      int64_t dy = y - (kCanvas / 2) * scale;
      Rgb colour;
      if (ArtworkAt(dx + dy, dx - dy, scale, size >= 32, &colour)) {
        red += colour.red;
        green += colour.green;
        blue += colour.blue;
        ++cover.covered;
      }
    }
  }
  if (cover.covered > 0) {
    int64_t n = cover.covered;
    cover.colour = {static_cast<int>((red + n / 2) / n), static_cast<int>((green + n / 2) / n),
                    static_cast<int>((blue + n / 2) / n)};
  }
  return cover;
}

// The 16 colours of the classic VGA palette.
constexpr Rgb kVgaColours[16] = {
    {0, 0, 0},       {128, 0, 0},   {0, 128, 0},   {128, 128, 0},  {0, 0, 128},   {128, 0, 128},
    {0, 128, 128},   {192, 192, 192}, {128, 128, 128}, {255, 0, 0}, {0, 255, 0},   {255, 255, 0},
    {0, 0, 255},     {255, 0, 255}, {0, 255, 255}, {255, 255, 255}};

// 256 colours: the VGA 16, a 6 x 6 x 6 colour cube and 24 greys.
std::vector<Rgb> MakePalette(int bitCount) {
  std::vector<Rgb> palette(kVgaColours, kVgaColours + 16);
  if (bitCount == 8) {
    for (int r = 0; r < 6; ++r)
      for (int g = 0; g < 6; ++g)
        for (int b = 0; b < 6; ++b) palette.push_back({r * 51, g * 51, b * 51});
    for (int i = 0; i < 24; ++i) palette.push_back({8 + 10 * i, 8 + 10 * i, 8 + 10 * i});
  }
  return palette;
}

int NearestIndex(const std::vector<Rgb>& palette, Rgb colour) {
  int best = 0;
  int64_t bestDistance = INT64_MAX;
  for (size_t i = 0; i < palette.size(); ++i) {
    int64_t dr = palette[i].red - colour.red;
    int64_t dg = palette[i].green - colour.green;
    int64_t db = palette[i].blue - colour.blue;
    int64_t distance = dr * dr + dg * dg + db * db;
    if (distance < bestDistance) {
      bestDistance = distance;
      best = static_cast<int>(i);
    }
  }
  return best;
}

void PutWord(std::vector<uint8_t>* out, uint32_t value) {
  out->push_back(static_cast<uint8_t>(value));
  out->push_back(static_cast<uint8_t>(value >> 8));
}

void PutDword(std::vector<uint8_t>* out, uint32_t value) {
  PutWord(out, value & 0xFFFF);
  PutWord(out, value >> 16);
}

int RowBytes(int size, int bitCount) { return (size * bitCount + 31) / 32 * 4; }

// One icon image: BITMAPINFOHEADER, palette, colour bits and AND mask, bottom-up.
std::vector<uint8_t> MakeImage(ImageFormat format) {
  const int n = format.size;
  const int colourRow = RowBytes(n, format.bitCount);
  const int maskRow = RowBytes(n, 1);
  std::vector<Rgb> palette;
  if (format.bitCount <= 8) palette = MakePalette(format.bitCount);

  std::vector<uint8_t> image;
  PutDword(&image, 40);                 // biSize
  PutDword(&image, n);                  // biWidth
  PutDword(&image, 2 * n);              // biHeight: colour bits and mask
  PutWord(&image, 1);                   // biPlanes
  PutWord(&image, format.bitCount);     // biBitCount
  PutDword(&image, 0);                  // biCompression: BI_RGB
  PutDword(&image, (colourRow + maskRow) * n);  // biSizeImage
  PutDword(&image, 0);
  PutDword(&image, 0);
  PutDword(&image, 0);                  // biClrUsed: the whole palette
  PutDword(&image, 0);
  for (const Rgb& entry : palette) {
    image.push_back(static_cast<uint8_t>(entry.blue));
    image.push_back(static_cast<uint8_t>(entry.green));
    image.push_back(static_cast<uint8_t>(entry.red));
    image.push_back(0);
  }

  std::vector<uint8_t> colour(static_cast<size_t>(colourRow) * n, 0);
  std::vector<uint8_t> mask(static_cast<size_t>(maskRow) * n, 0);
  for (int row = 0; row < n; ++row) {
    const int line = n - 1 - row;  // bottom-up
    for (int column = 0; column < n; ++column) {
      PixelCover cover = CoverPixel(n, column, row);
      // Palette images have no partial transparency: a pixel is drawn when at least
      // half of it is covered. The 32-bit images keep the same mask for old readers
      // and carry the exact coverage in alpha.
      bool transparent = cover.covered * 2 < kSampleCount;
      if (transparent) mask[line * maskRow + column / 8] |= static_cast<uint8_t>(0x80 >> (column % 8));
      if (format.bitCount == 32) {
        uint8_t* pixel = &colour[line * colourRow + column * 4];
        pixel[0] = static_cast<uint8_t>(cover.colour.blue);
        pixel[1] = static_cast<uint8_t>(cover.colour.green);
        pixel[2] = static_cast<uint8_t>(cover.colour.red);
        pixel[3] = static_cast<uint8_t>((cover.covered * 255 + kSampleCount / 2) / kSampleCount);
      } else if (!transparent) {
        int index = NearestIndex(palette, cover.colour);
        if (format.bitCount == 8) {
          colour[line * colourRow + column] = static_cast<uint8_t>(index);
        } else {
          uint8_t* pair = &colour[line * colourRow + column / 2];
          *pair |= static_cast<uint8_t>(column % 2 == 0 ? index << 4 : index);
        }
      }
    }
  }
  image.insert(image.end(), colour.begin(), colour.end());
  image.insert(image.end(), mask.begin(), mask.end());
  return image;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_icon OUTPUT.ico\n");
    return 2;
  }
  std::vector<std::vector<uint8_t>> images;
  for (const ImageFormat& format : kFormats) images.push_back(MakeImage(format));

  std::vector<uint8_t> file;
  PutWord(&file, 0);  // reserved
  PutWord(&file, 1);  // icon
  PutWord(&file, kFormatCount);
  uint32_t offset = 6 + 16 * kFormatCount;
  for (int i = 0; i < kFormatCount; ++i) {
    const ImageFormat& format = kFormats[i];
    file.push_back(static_cast<uint8_t>(format.size));
    file.push_back(static_cast<uint8_t>(format.size));
    file.push_back(format.bitCount == 4 ? 16 : 0);  // colours in the palette, 0 for 256 and more
    file.push_back(0);
    PutWord(&file, 1);  // planes
    PutWord(&file, format.bitCount);
    PutDword(&file, static_cast<uint32_t>(images[i].size()));
    PutDword(&file, offset);
    offset += static_cast<uint32_t>(images[i].size());
  }
  for (const std::vector<uint8_t>& image : images) file.insert(file.end(), image.begin(), image.end());

  FILE* out = std::fopen(argv[1], "wb");
  if (out == nullptr) {
    std::perror(argv[1]);
    return 1;
  }
  bool written = std::fwrite(file.data(), 1, file.size(), out) == file.size();
  if (std::fclose(out) != 0) written = false;
  if (!written) {
    std::perror(argv[1]);
    return 1;
  }
  return 0;
}
