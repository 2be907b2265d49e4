#pragma once
// The benchmarks' corpus: a PostScript document of text pages with a dense page now and
// then, the same for every benchmark, so that their figures are taken on the same pages.

#include <cstdio>
#include <string>

// The corpus. PageWidth, PageHeight, PageCount and DenseEvery are defined in front of it.
// Text pages: a heading and lines of 10 pt Times filled word by word, paragraphs and
// indents at random (seeded by the page number, so every run draws the same pages).
// Dense pages: a halftoned grey picture over half the page, a grid of thin rules and two
// columns of 6 pt type.
inline constexpr char kCorpusBody[] = R"PS(
/mm { 72 mul 25.4 div } bind def
/margin 20 mm def
/F { findfont exch scalefont setfont } bind def
/words [ (the) (printer) (page) (of) (and) (a) (sheet) (raster) (job) (to) (is) (toner)
  (paper) (tray) (in) (edge) (feed) (with) (for) (document) (line) (copies) (side) (two)
  (drum) (fuser) (stream) (encoder) (bitmap) (resolution) (dots) (inch) (margin) (font)
  (that) (it) (on) (be) (as) (from) (at) (by) (this) (an) (which) (or) (quarter) (turn)
  (collated) (duplex) (record) (header) (scheduler) (queue) (filter) (driver) (long)
  (short) (media) (type) (plain) (thick) (thin) (recycled) (envelope) (manual) (main) ] def
/nextword { words rand words length mod get } bind def
/numstr { 10 string cvs } bind def
/footer {
  9 /Helvetica F
  PageWidth 2 div 4 sub margin 2 div moveto numstr show
} bind def
/textpage {
  /pageno exch def
  pageno 7919 mul srand
  14 /Helvetica-Bold F
  margin PageHeight margin sub 14 sub moveto (Chapter ) show pageno numstr show
  10 /Times-Roman F
  /right PageWidth margin sub def
  /y PageHeight margin sub 40 sub def
  { y margin 20 add lt { exit } if
    margin y moveto
    rand 9 mod 0 eq { 15 0 rmoveto } if
    { nextword dup stringwidth pop currentpoint pop add right gt { pop exit } if
      show ( ) show } loop
    /y y 12 sub def
    rand 7 mod 0 eq { /y y 8 sub def } if
  } loop
  pageno footer
  showpage
} bind def
/picturerow 256 string def
/densepage {
  /pageno exch def
  pageno 104729 mul srand
  /pw PageWidth 2 margin mul sub def
  /ph PageHeight 2 div margin sub def
  gsave
  margin PageHeight 2 div translate pw ph scale
  /row 0 def
  256 192 8 [256 0 0 -192 0 192]
  { 0 1 255 { /x exch def
      picturerow x
      x 3 mul row 5 mul add sin 45 mul
      row 4 mul x 2 mul sub cos 45 mul add 160 add
      x 128 sub dup mul row 96 sub dup mul add sqrt 0.6 mul sub
      dup 0 lt { pop 0 } if dup 255 gt { pop 255 } if cvi put } for
    /row row 1 add def picturerow } image
  grestore
  0.3 setlinewidth
  margin 10 mm PageWidth margin sub { dup PageHeight 2 div moveto margin lineto } for
  PageHeight 2 div 10 mm sub -10 mm margin { dup margin exch moveto PageWidth margin sub exch lineto } for
  stroke
  6 /Times-Roman F
  /colwidth pw 2 div 5 sub def
  0 1 1 { /col exch def
    /left margin col colwidth 10 add mul add def
    /right left colwidth add def
    /y PageHeight 2 div 10 sub def
    { y margin 10 add lt { exit } if
      left y moveto
      { nextword dup stringwidth pop currentpoint pop add right gt { pop exit } if
        show ( ) show } loop
      /y y 7 sub def } loop
  } for
  pageno footer
  showpage
} bind def
<< /PageSize [PageWidth PageHeight] >> setpagedevice
1 1 PageCount { dup DenseEvery mod 0 eq { densepage } { textpage } ifelse } for
)PS";

// The whole document: the page size in points, the number of pages, every how many pages
// a dense one comes.
inline std::string CorpusDocument(double widthPt, double heightPt, int pageCount, int denseEvery) {
  char header[256];
  snprintf(header, sizeof header,
           "%%!PS-Adobe-3.0\n%%%%BoundingBox: 0 0 %.0f %.0f\n%%%%Pages: %d\n%%%%EndComments\n"
           "/PageWidth %.0f def /PageHeight %.0f def /PageCount %d def /DenseEvery %d def\n",
           widthPt, heightPt, pageCount, widthPt, heightPt, pageCount, denseEvery);
  return std::string(header) + kCorpusBody;
}
