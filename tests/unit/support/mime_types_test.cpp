#include "support/mime_types.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/tool_run.hpp"

namespace ostrel {
namespace {

std::string type_of(const std::string& name) {
    char out[mime_type_out_size];
    std::memset(out, 'x', sizeof out);
    return mime_type_by_extension(name.c_str(), out);
}

std::string row_text(const mime_type_row& r) {
    std::string t = std::string(mime_type_words[r.type]) + "/" + mime_type_words[r.sub1];
    if (r.sub2 >= 0) t += std::string(".") + mime_type_words[r.sub2];
    if (r.sub3 >= 0) t += std::string(".") + mime_type_words[r.sub3];
    return t;
}

// Every extension of the table, in the order the look-up must see them.
const char* const expected_extensions =
    "ice smv movie avi wvx wmx wmv wm vob asx asf mng mks mk3d mkv m4v flv fli f4v webm viv "
    "uvvu uvu pyv m4u mxu fvt dvb uvvv uvv uvvs uvs uvvp uvp uvvm uvm uvvh uvh mov qt ogv m2v "
    "m1v mpe mpg mpeg mpg4 mp4v mp4 mjp2 mj2 jpgm jpm jpgv h264 h263 h261 3g2 3gp vcf vcs uu "
    "sfv etx pas p opml nfo java f90 f77 for f dic hh h cpp cxx cc c asm s wmls wml jad spot "
    "3dml gv flx fly sub scurl mcurl dcurl curl vcard urls uris uri ttl ms me man roff tr t "
    "tsv sgm sgml rtx dsc in log list def conf text txt n3 mjs js htm html csv css ifb ics "
    "appcache x3dz x3d x3dvz x3dv x3dbz x3db vrml wrl vtu mts gtw gdl dwf dae silo mesh msh "
    "iges igs mime eml xwd xpm xbm tga rgb ppm pgm pbm pnm pct pic pcx sid ico fh7 fh5 fh4 fhc "
    "fh cmx ras 3ds webp xif wbmp npx wdp mdi rlc mmr fst fpx fbs dxf dwg sub djv djvu uvvg "
    "uvg uvvi uvi psd tif tiff svgz svg sgi btif png ktx jpe jpg jpeg ief gif g3 cgm bmp woff2 "
    "woff ttf otf ttc xyz csml cml cmdf cif cdx xm wav rmp ra ram wma wax m3u mka flac caf "
    "aifc aiff aif aac weba rip ecelp9600 ecelp7470 ecelp4800 pya lvp dtshd dts dra eol uvva "
    "uva sil s3m opus spx ogg oga m3a m2a mp3 mp2a mp2 mpga mp4a m4a rmi kar midi mid snd au "
    "adp zip yin yang xvm xvml xhvml mxml xspf xslt xpl xop dtd xsl xml xht xhtml xenc xdf "
    "xaml z8 z7 z6 z5 z4 z3 z2 z1 xz xpi xlf fig crt der src ustar obj texi texinfo tfm tex "
    "tcl tar gam t3 sv4crc sv4cpio srt sitx sit sql xap swf shar sh ris rar p7r spc p7b pfx "
    "p12 nzb cdf nc wri trm scd pub mny emz emf wmz wmf m14 m13 mvb msi bat com dll exe clp "
    "crd obd mdb xbap wmz wmd lnk application mobi prc mie lha lzh latex jnlp iso install hdf "
    "gtar gramps gnumeric ulx gca spl arc afm pfm pfb pfa snf pcf psf gsf bdf eva evy dvi res "
    "dtb ncx wad swa fgd w3d cxt cct cst dxr dcr dir dgc udeb deb csh cpio nsc pgn chat cfs "
    "vcd cb7 cbz cbt cba cbr boz bz2 bz blorb blb torrent bcpio aas aam vox u32 x32 aab dmg "
    "ace abw 7z wspolicy wsdl hlp wgt vxml zaz zirz zir cmp spf saf osfpvg osf hvp hvs hvd "
    "xfdl xar stf wqd wpd nbp wtb wmlsc wmlc wbxml vsf vis vsw vss vst vsd vcx uoml unityweb "
    "umj utz ufdl ufd tra mxs tpt tmo dmp cap pcap tao xdm bdm xsm sisx sis svd susp sus stw "
    "sxg sxw sxm sti sxi std sxd stc sxc sm smzip sgl vor sdw smf sdd sda sdc sfs dxp sdkd "
    "sdkm teacher mmf twds twd ipk iif itp ifm semf semd sema see st link66 rmvb rm cod "
    "cryptonote musicxml mxl bed qxb qxl qwt qwd qxt qxd ptid qps mgz box pbd plf wg efif ei6 "
    "str paw oprc pqa pdb esa dp mgp dotx docx xltx xlsx potx ppsx sldx pptx oxt dd2 xo oth "
    "ott odm odt ots ods otp odp oti odi otg odg odft odf odb otc odc ext edx edm rpss rpst "
    "n-gage ngdat nnw nns nnd nitf ntf nlu taglet msty mus mseq xps wpl wdb wcm wks wps dotm "
    "docm mpt mpp potm ppsm sldm pptm ppam pot pps ppt stl cat thmx lrm ims chm eot xltm xlsm "
    "xlsb xlam xlw xlt xlc xla xlm xls cab cil xul mpc mpn txf plc msl mqy mbk dis daf mif igx "
    "flo mfm mwf cdkey mc1 mcd portpkg lwp scm org nsf pre apr 123 lbe lbd lasxml sse skm skt "
    "skd skp knp kne kia htke kwt kwd ksp kpt kpr kon flw kfo chrt karbon ktr ktz joda jisp "
    "rms jam fcs xpr irp rcprofile qfx qbo i2g xpx xpw igm ivu ivp igl icm icc sc irm list3820 "
    "listafp afp mpy sfd-hdstx pclxl pcl jlt hps hpid hpgl les hbci zmm hal vcg tpl gtm grv "
    "gim ghf gac gqs gqf kmz kml gmx g3w g2w gxt gre gex ggt ggb txd fzs xbd xdw ddd bh2 fg5 "
    "oa3 oa2 oas fsc ltf fnc book maker frame fm ftc gph dataless seed mseed fdf ez3 ez2 et3 "
    "es3 ssf slt qam msf esf nml mag geo svc ait kpxx dfac dpg mlp dna fe_launch uvvz uvz uvvx "
    "uvx uvvt uvt uvvd uvd uvvf uvf rdz dart pcurl car ppd pml wbs clkw clkt clkp clkk clkx "
    "cmc cdbcmsg csp c11amz c11amc c4u c4p c4f c4d c4g rp9 cla cdy mmd cdxml rep bmi mpm aep "
    "iota swi m3u8 mpkg atx fti cii apk ami acc azw azs azf ahead xfdf xdp fxpl fxp fcdt air "
    "acutc atc acu imp aso pwn tcap pvb psb plb tsd tfi teicorpus tei ssml ssdl sru grxml gram "
    "srx rq smil smi shf setreg setpay sdp spp spq scs scq sbml rtf rss rsd roa mft gbr rs rld "
    "rl rnc rif rdf pskcxml cww ps eps ai pls pki pkipath crl cer ac p8 p7s p7c p7m p10 prf "
    "sig asc pgp pdf xer oxps onepkg onetmp onetoc2 onetoc omdoc ogx opf oda deploy elc dump "
    "bpk pkg distz dist so mar lrf dms bin mxf dot doc mp4s mp21 m21 mods mets meta4 metalink "
    "mscml mbox mathml mb nb ma mrcx mrc mads cpt hqx lostxml jsonml json class ser jar ipfix "
    "inkml ink stk gxf gpx gml pfr exi epub emma ecma xdssc dssc dbk davmount cu cdmiq cdmio "
    "cdmid cdmic cdmia ccxml atomsvc atomcat atom aw ez ";

TEST(MimeTypes, TellingRows) {
    const std::map<std::string, std::string> rows = {
        {"sub", "text/vnd.dvb.subtitle"},
        {"wmz", "application/x-msmetafile"},
        {"txt", "text/plain"},
        {"text", "text/plain"},
        {"conf", "text/plain"},
        {"log", "text/plain"},
        {"htm", "text/html"},
        {"html", "text/html"},
        {"csv", "text/csv"},
        {"ics", "text/calendar"},
        {"css", "text/css"},
        {"js", "text/javascript"},
        {"vcf", "text/x-vcard"},
        {"c", "text/x-c"},
        {"cc", "text/x-c"},
        {"cpp", "text/x-c"},
        {"cxx", "text/x-c"},
        {"h", "text/x-c"},
        {"hh", "text/x-c"},
        {"dic", "text/x-c"},
        {"eml", "message/rfc822"},
        {"jpg", "image/jpeg"},
        {"jpeg", "image/jpeg"},
        {"jpe", "image/jpeg"},
        {"png", "image/png"},
        {"gif", "image/gif"},
        {"bmp", "image/bmp"},
        {"tif", "image/tiff"},
        {"tiff", "image/tiff"},
        {"svg", "image/svg+xml"},
        {"ico", "image/x-icon"},
        {"webp", "image/webp"},
        {"mp3", "audio/mpeg"},
        {"wav", "audio/x-wav"},
        {"ogg", "audio/ogg"},
        {"mp4", "video/mp4"},
        {"mov", "video/quicktime"},
        {"avi", "video/x-msvideo"},
        {"mpg", "video/mpeg"},
        {"mpeg", "video/mpeg"},
        {"pdf", "application/pdf"},
        {"zip", "application/zip"},
        {"7z", "application/x-7z-compressed"},
        {"rar", "application/x-rar-compressed"},
        {"tar", "application/x-tar"},
        {"json", "application/json"},
        {"xml", "application/xml"},
        {"rtf", "application/rtf"},
        {"doc", "application/msword"},
        {"docx", "application/vnd.openxmlformats-officedocument.wordprocessingml.document"},
        {"xls", "application/vnd.ms-excel"},
        {"xlsx", "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet"},
        {"ppt", "application/vnd.ms-powerpoint"},
        {"pptx", "application/vnd.openxmlformats-officedocument.presentationml.presentation"},
        {"odt", "application/vnd.oasis.opendocument.text"},
        {"exe", "application/x-msdownload"},
        {"dll", "application/x-msdownload"},
        {"bat", "application/x-msdownload"},
        {"bin", "application/octet-stream"},
        {"asc", "application/pgp-signature"},
        {"sig", "application/pgp-signature"},
        {"p7s", "application/pkcs7-signature"},
        {"ps", "application/postscript"},
        {"eps", "application/postscript"},
    };
    for (const auto& [ext, type] : rows) {
        EXPECT_EQ(type_of("file." + ext), type) << ext;
        EXPECT_EQ(type_of("dir/file." + ext), type) << ext;
    }
}

TEST(MimeTypes, NamesAndEdgeCases) {
    struct row {
        std::string name, type;
    } rows[] = {
        {"report.PDF", "application/pdf"},
        {"photo.JpG", "image/jpeg"},
        {"archive.tar.gz", "application/octet-stream"},
        {"README", "application/octet-stream"},
        {"name.", "application/octet-stream"},
        {"dir.old/readme", "application/octet-stream"},
        {"movie.sub", "text/vnd.dvb.subtitle"},
        {"drawing.wmz", "application/x-msmetafile"},
        {"C:\\Mail\\Letter.DOC", "application/msword"},
        {"x.TXT", "text/plain"},
        {".txt", "text/plain"},
        {"a.t", "text/troff"},
        {"a.tx", "application/octet-stream"},  // no prefix matches
        {"a.txtx", "application/octet-stream"},
        {"a." + std::string(1023, 'a'), "application/octet-stream"},
        {"a." + std::string(5000, 'a'), "application/octet-stream"},
        {"", "application/octet-stream"},
    };
    for (const auto& r : rows) EXPECT_EQ(type_of(r.name), r.type) << r.name.substr(0, 40);
    EXPECT_EQ(type_of("letter.docx").size(), 71u);
    char out[mime_type_out_size];
    EXPECT_EQ(mime_type_by_extension("a.png", out), out);
}

TEST(MimeTypes, TableShape) {
    std::istringstream want(expected_extensions);
    std::vector<std::string> exts{std::istream_iterator<std::string>(want), {}};
    ASSERT_EQ(exts.size(), static_cast<size_t>(mime_type_row_count));
    EXPECT_EQ(mime_type_table[mime_type_row_count].extension, nullptr);
    std::map<std::string, int> per_type;
    for (int i = 0; i < mime_type_row_count; ++i) {
        const mime_type_row& r = mime_type_table[i];
        ASSERT_NE(r.extension, nullptr);
        EXPECT_EQ(r.extension, exts[static_cast<size_t>(i)]) << i;
        EXPECT_LE(std::strlen(r.extension), 11u);
        EXPECT_TRUE(r.sub2 >= 0 || r.sub3 < 0);
        if (i > 0) {
            EXPECT_GE(row_text(mime_type_table[i - 1]), row_text(r)) << i;
        }
        ++per_type[mime_type_words[r.type]];
    }
    const std::map<std::string, int> counts = {
        {"application", 719}, {"text", 69},    {"image", 59}, {"video", 58},  {"audio", 49},
        {"model", 19},        {"chemical", 6}, {"font", 5},   {"message", 2}, {"x-conference", 1}};
    EXPECT_EQ(per_type, counts);
    EXPECT_EQ(row_text(mime_type_table[0]), "x-conference/x-cooltalk");
    EXPECT_EQ(row_text(mime_type_table[mime_type_row_count - 1]), "application/andrew-inset");
    EXPECT_STREQ(mime_type_words[0], "application");
    EXPECT_STREQ(mime_type_words[1], "andrew-inset");
    EXPECT_STREQ(mime_type_words[2], "applixware");
    EXPECT_STREQ(mime_type_words[3], "atom+xml");
    std::set<std::string> words(mime_type_words, mime_type_words + mime_type_word_count);
    EXPECT_EQ(words.size(), static_cast<size_t>(mime_type_word_count));
}

// Python's mimetypes reads the same list on its own: each row's type is one
// that the list gives for the extension.
TEST(MimeTypes, RowsAgreeWithPythonMimetypes) {
    test::scratch_dir dir;
    // The list in the source tree, found from this file's own path.
    std::string list =
        (std::filesystem::path(__FILE__).parent_path() / "../../../data/mime.types").string();
    std::vector<std::string> exts;
    for (int i = 0; i < mime_type_row_count; ++i) exts.push_back(mime_type_table[i].extension);
    auto ref = test::python_map(dir,
                                "    import mimetypes\n"
                                "    m = mimetypes.MimeTypes(filenames=(), strict=True)\n"
                                "    m.types_map = ({}, {}); m.types_map_inv = ({}, {})\n"
                                "    m.read('" +
                                    list +
                                    "')\n"
                                    "    ext = '.' + data.decode()\n"
                                    "    out(' '.join(t for t, e in m.types_map_inv[True].items()\n"
                                    "                 if ext in e).encode())\n",
                                exts);
    ASSERT_EQ(ref.size(), exts.size());
    for (size_t i = 0; i < exts.size(); ++i) {
        std::istringstream types(ref[i]);
        std::set<std::string> allowed{std::istream_iterator<std::string>(types), {}};
        EXPECT_TRUE(allowed.count(row_text(mime_type_table[i]))) << exts[i] << ": " << ref[i];
    }
}

}  // namespace
}  // namespace ostrel
