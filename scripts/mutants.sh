#!/bin/sh
# A small mutation check: each named fault below is a one-line edit of the
# program (a sed expression on one file) where a real bug would hurt. For
# each, the edit is made in a copy of the tree, built incrementally in a build
# folder of the copy's own, and the tests are run (plain build, per-test
# timeout, stopping at the first failure). A fault the tests notice is
# "killed"; one they miss is a hole in the tests.
#
# Usage: scripts/mutants.sh [PATTERN]   (only the faults whose name matches the extended regex PATTERN)
# Environment: MUTANTS_DIR (default /tmp/pixmend-mutants), MUTANTS_TIMEOUT
# (seconds per test, default 120), JOBS (default: the number of cores).
set -u
top=$(cd "$(dirname "$0")/.." && pwd)
work=${MUTANTS_DIR:-/tmp/pixmend-mutants}
timeout=${MUTANTS_TIMEOUT:-120}
jobs=${JOBS:-$(nproc)}
pattern=${1:-}
src=$work/src
orig=$work/orig # the tree as copied: every fault starts from it
build=$work/build

# name|file|sed expression (the expression must change the file)
faults='
fill divisor one short|retouch/fills/Fills.cpp|s/const float n = static_cast<float>(rect.Y2 - rect.Y1 + 2);/const float n = static_cast<float>(rect.Y2 - rect.Y1 + 1);/
fill horizontal divisor|retouch/fills/Fills.cpp|s/const float n = static_cast<float>(rect.X2 - rect.X1 + 2);/const float n = static_cast<float>(rect.X2 - rect.X1 + 3);/
fill rounds by truncation|retouch/fills/Fills.cpp|s/inline __m128i Rounded(__m128 v) { return _mm_cvtps_epi32(v); }/inline __m128i Rounded(__m128 v) { return _mm_cvttps_epi32(v); }/
fill AVX2 tie rule|retouch/fills/Fills.cpp|s/_mm256_set1_ps(0.5f), _CMP_EQ_OQ/_mm256_set1_ps(0.5f), _CMP_NEQ_OQ/
fill cross average halves twice|retouch/fills/Fills.cpp|s/return _mm_srai_epi32(sum, 1);/return _mm_srai_epi32(sum, 2);/
fill bottom edge sample|retouch/fills/Fills.cpp|s/const int32_t b = (H - 1 > rect.Y2) ? rect.Y2 + 1 : H - 1;/const int32_t b = (H - 1 > rect.Y2) ? rect.Y2 + 1 : H - 2;/
fill left edge sample|retouch/fills/Fills.cpp|s/const int32_t a = rect.X1 < 1 ? 0 : rect.X1 - 1;/const int32_t a = rect.X1 < 1 ? 1 : rect.X1 - 1;/
retouch band misses the row above|retouch/Retouch.cpp|s/const int32_t first = sel.Y1 < 1 ? 0 : sel.Y1 - 1;/const int32_t first = sel.Y1;/
selection not ordered|retouch/Retouch.cpp|s/    if (s.X1 > s.X2)/    if (false)/
selection clamped one beyond|retouch/Retouch.cpp|s/        if (v > hi)/        if (v > hi + 1)/
png header size read as 16 bits|files/PictureFiles.cpp|s/const uint32_t w = uint32_t(head\[16\]) << 24 | uint32_t(head\[17\]) << 16 | /const uint32_t w = /
jpeg quality formula|codec/JpegCodec.cpp|s/int JpegQualityForRate(int rate) { return 101 - ClampJpegRate(rate); }/int JpegQualityForRate(int rate) { return 100 - ClampJpegRate(rate); }/
png rate 2 not the smallest|codec/PngWriter.cpp|s/    case 2: return {9, true};/    case 2: return {6, true};/
ini names match case|platform/Profile.cpp|s/compare(b, Qt::CaseInsensitive)/compare(b, Qt::CaseSensitive)/
ini value cut at 255|platform/Profile.cpp|s/TrimBlanks(line.mid(line.indexOf(.=.) + 1))/&.left(255)/
ini missing key appended at the end|platform/Profile.cpp|s/lines.insert(lastEntry + 1, OneLine(key) + "=" + entryValue);/lines.append(OneLine(key) + "=" + entryValue);/
rename before the data is flushed|platform/AtomicFile.cpp|s/    bool ok = std::fflush(stream_) == 0 \&\& !std::ferror(stream_);/    bool ok = true; std::fclose(stream_); stream_ = ::fdopen(::open("\/dev\/null", O_WRONLY), "wb");/
temporary not removed|platform/AtomicFile.cpp|s/        ::unlink(tempPath_.constData());/        (void)0;/
symlink replaced by a file|platform/AtomicFile.cpp|s/target_(ResolveLinks(EncodeFileName(target)))/target_(EncodeFileName(target))/
read-only file replaced|platform/AtomicFile.cpp|s/if ((st.st_mode \& 0222) == 0 || ::access(target_.constData(), W_OK) != 0) {/if (false) {/
setuid copied|platform/AtomicFile.cpp|s/ \& ~mode_t(S_ISUID | S_ISGID)//
fifo read as a file|platform/FileRead.cpp|s/    if (!S_ISREG(st.st_mode))/    if (S_ISDIR(st.st_mode))/
settings size unlimited|platform/Profile.h|s/kMaxProfileBytes = 1 << 20;/kMaxProfileBytes = qint64(1) << 40;/
truncated jpeg not told|codec/JpegCodec.cpp|s/        reinterpret_cast<DecodeErrors\*>(c->err)->truncated = true;/        (void)c;/
rotated jpeg placed unturned|codec/JpegCodec.cpp|s/        case 6: for (int x = 0; x < width; ++x) px(height - 1 - y, x) = row\[x\]; break;/        case 6: for (int x = 0; x < width; ++x) px(y, x) = row[x]; break;/
tiny jpeg claiming a huge frame|codec/JpegCodec.cpp|s/    if (size < MinimumJpegBytes(\&cinfo) \/ 16)/    if (false)/
rle bitmap cut short accepted|codec/PictureLoader.cpp|/^bool RunLengthComplete/,/^}/ s/^    return false;$/    return true;/
failed open empties the picture|document/PictureDocument.cpp|s/        return Outcome::FailedWith(codec::LoadFailureReason(report));/        { picture_ = platform::Surface(); return Outcome::FailedWith(codec::LoadFailureReason(report)); }/
overwrite question skipped|files/FileDialogs.cpp|s/    if (state == kFileExists \&\& !MayReplace(owner, name))/    if (false)/
extension not from the filter|files/PictureFiles.cpp|s/    case 3: force(".JPG"); break;/    case 3: break;/
loupe centre off by one|view/PictureView.cpp|s/LoupeBlock b{px - 4, py - 4,/LoupeBlock b{px - 3, py - 4,/
scroll offset ignored|view/PictureView.cpp|s/std::nearbyint(double(v) + scroll)/std::nearbyint(double(v))/
batch outputs may clash|app/batch/Batch.cpp|s/other != outputs.cend()) {/false) {/
batch output may replace an input|app/batch/Batch.cpp|s/        if (input != inputs.cend() \&\& !o.inPlace) {/        if (false) {/
batch exit status always 0|app/batch/Batch.cpp|s/    return failed ? 1 : 0;/    return 0;/
batch rect outside accepted|app/batch/Batch.cpp|s/if (x2 < 0 || y2 < 0 || x1 > W - 1 || y1 > H - 1)/if (false)/
batch rate not clamped|app/batch/main.cpp|s/defaults.jpegRate = codec::ClampJpegRate(basCommon::JpegRate);/defaults.jpegRate = basCommon::JpegRate;/
undo does not restore|document/EditHistory.cpp|s/        std::memcpy(a, b, rowBytes);/        (void)b;/
no question before losing work|app/frmMain.h|s/    bool IsChanged() const { return Document->IsChanged(); }/    bool IsChanged() const { return false; }/
settings write failure silent|app/frmMain.cpp|s/        basCommon::ReportSettingsNotSaved(this, err);/        (void)err;/
png bands joined without closing them|codec/PngWriter.cpp|s/    d.insert(d.end(), {0x00, 0x00, 0xFF, 0xFF});/    (void)0;/
png join out of memory told as a bad stream|codec/PngWriter.cpp|s/    if (rc == Z_MEM_ERROR)/    if (false)/
jpeg encoder out of memory told as a failed encoding|codec/JpegCodec.cpp|s/ : code == JERR_OUT_OF_MEMORY ? kCodecNoMemory : / : /
jpeg blocks out of memory told as a failed encoding|codec/JpegKeep.cpp|s/        if (err.pub.msg_code == JERR_OUT_OF_MEMORY)/        if (false)/
cancel ignored|files/FileDialogs.cpp|s/            return !cancel.load();/            return true;/
batch shard ignored|app/batch/Batch.cpp|s/        if (int(i % size_t(o.shards)) == o.shard)/        if (true)/
batch anchor off by one|app/batch/Batch.cpp|s/            d = size - 1 - d;/            d = size - d;/
jpeg blocks: crop ends an MCU early|codec/JpegKeep.cpp|s/const int x1 = std::min(W, (r.right() \/ mcuW + 1) \* mcuW)/const int x1 = std::min(W, (r.right() \/ mcuW) * mcuW + 8)/
jpeg blocks: rectangle not turned into stored order|codec/JpegKeep.cpp|s/    case 6: return {y, h - 1 - x};/    case 6: return {h - 1 - y, x};/
jpeg blocks: DC step after a patch kept|codec/JpegSplice.cpp|s/if (!patch \&\& predOut\[ci\] == before) {/if (!patch) {/
jpeg blocks: changed source still used|codec/JpegKeep.cpp|s/ || !(stamp == origin.stamp))/)/
jpeg blocks: optimised tables not kept|codec/JpegKeep.cpp|s/dst.optimize_coding = OptimisedTables(\&src, \&dst) ? TRUE : FALSE;/dst.optimize_coding = FALSE;/
exif orientation kept on upright pixels|codec/Metadata.cpp|s/        Put(t + value, valueBytes, le, 1);/        (void)value;/
exif thumbnail kept|codec/Metadata.cpp|s/    Put(t + link, 4, le, 0);/    (void)link;/
letter mask not grown|retouch/fills/LetterFill.cpp|s/    const std::vector<uint8_t> one = Dilated(mask, R.w(), R.h(), 1),/    const std::vector<uint8_t> one = Dilated(mask, R.w(), R.h(), 0),/
opaque mark un-blended|retouch/fills/Unblend.cpp|s/    else if (e.opacity > kMostOpaque)/    else if (false)/
coloured mark un-blended|retouch/fills/Unblend.cpp|s/    else if (spread > kChannelSpread)/    else if (false)/
thin strokes un-blended|retouch/fills/Unblend.cpp|s/    d.solid = Solid(L, d.core) >= kFewestInner;/    d.solid = !d.core.empty();/
smooth background un-blended|retouch/fills/Unblend.cpp|s/    else if (Texture(L, part) < kSmooth)/    else if (false)/
un-blending writes over refused parts|retouch/fills/Unblend.cpp|s/        if (judged\[k\].refusal == Refusal::None \&\& results)/        if (results)/
un-blending takes no coverage|retouch/fills/Unblend.cpp|s/m <= kNone \* e.opacity ? 0.f : m;/m <= kNone * e.opacity ? e.opacity : m;/
translucent marks not looked for|retouch/fills/LetterFill.cpp|s/        mask\[i\] |= marks\[i\];/        (void)marks;/
thin specks over texture taken for marks|retouch/fills/Unblend.cpp|s/        if (Texture(L, part) >= kSmooth)/        if (false)/
weak thin letters dropped|retouch/fills/Unblend.cpp|s/ || r == Refusal::Smooth || r == Refusal::Thin);/ || r == Refusal::Smooth);/
found marks over a smooth ground dropped|retouch/fills/Unblend.cpp|s/v == Refusal::None || v == Refusal::Smooth ||/v == Refusal::None ||/
humps never tried|retouch/fills/Unblend.cpp|s/        if (!humps.empty() \&\& repeats/        if (false \&\& repeats/
no hump after a stronger peak|retouch/fills/Unblend.cpp|s/        if (!faintPeak \&\& (side < 3) != (grey < 3))/        if (!faintPeak)/
slanted sides never told|retouch/fills/Unblend.cpp|s/std::pair{0, 4}, std::pair{4, 8}}/std::pair{0, 4}}/
slanted sides judged as leniently as straight ones|retouch/fills/Unblend.cpp|s/(slanted ? 2 : 1) \* after/after/
hump after a clean peak tried|retouch/fills/Unblend.cpp|s/ \&\& top <= gathered(excess, bin\[size_t(g)\])//
own side never searched for a hump|retouch/fills/Unblend.cpp|s/    for (const int side : {grey < 3 ? 0 : 3, grey < 3 ? 3 : 0}) {/    for (const int side : {grey < 3 ? 3 : 0}) {/
humps sought among the faintest steps|retouch/fills/Unblend.cpp|s/constexpr float kAboveTexture = 0.16f;/constexpr float kAboveTexture = kLeastOpacity;/
faint texture peak outlined|retouch/fills/Unblend.cpp|s/    const bool texturePeak = bin\[size_t(grey)\] <= least;/    const bool texturePeak = false;/
ground specks kept|retouch/fills/LetterFill.cpp|s/    if (sizes.size() < kFewestSpecks)/    if (true)/
dots among ground specks dropped|retouch/fills/LetterFill.cpp|s/    if (double(count) > kMoreSpecks \* expected)/    if (false)/
parts joined only edge to edge|retouch/fills/Regions.cpp|s/const int reach = corners ? 1 : 0;/const int reach = 0;/
holes joined across corners|retouch/fills/Regions.cpp|s/const int reach = corners ? 1 : 0;/const int reach = 1;/
objects cut by the rectangle kept|retouch/fills/LetterFill.cpp|s/    if (cut.size() < kFewestCut)/    if (true)/
objects running on past the mask kept|retouch/fills/LetterFill.cpp|s/        DropRunningObjects(pic, R, score, mask);/        (void)0;/
letters joined to a cut object whatever their colour|retouch/fills/LetterFill.cpp|s/score\[k\] >= kObjectEvidence \&\& Alike(colour\[size_t(j)\], p)/score[k] >= kObjectEvidence/
humps tried only when the faint peak outlines nothing|retouch/fills/Unblend.cpp|s/for (size_t t = 1; t < outlines.size(); ++t) {/for (size_t t = most ? outlines.size() : 1; t < outlines.size(); ++t) {/
hump taken though it outlines less|retouch/fills/Unblend.cpp|s/outlined > most \&\& //
coloured letter dropped beside a passing mark|retouch/fills/Unblend.cpp|s/ || (passed \&\& v == Refusal::Coloured)//
peaks the photo around explains as well taken for a mark|retouch/fills/Unblend.cpp|s/all >= kAboveAround \* theirs/all >= 0 * theirs/
faint steps of one shade kept though the coarse look finds the other|retouch/fills/Unblend.cpp|s/        if (mark != others.end()) {/        if (false) {/
steps up from black taken for the edges of a white mark|retouch/fills/Unblend.cpp|s/                if (black \&\& b.grey > 127)/                if (false)/
coloured parts kept with no mark beside them|retouch/fills/Unblend.cpp|s/(passed \&\& v == Refusal::Coloured)/v == Refusal::Coloured/
coloured letter dropped beside a mark over a smooth ground|retouch/fills/Unblend.cpp|s/return v == Refusal::None || v == Refusal::Smooth; });/return v == Refusal::None; });/
rim pixels off the step never edges|retouch/fills/Unblend.cpp|s/kSameShare = 0.2f, kRimSlack = 0.15f,/kSameShare = 0.2f, kRimSlack = 0.f,/
outline as strict about the channels as the vote|retouch/fills/Unblend.cpp|s/kMarkOpacity, kOutlineAgreement);/kMarkOpacity);/
outline window not widened for strong marks|retouch/fills/Unblend.cpp|s/<= std::max(kSameOpacity, kSameShare \* b.opacity);/<= kSameOpacity;/
thin ring about a corner rectangle ignored|retouch/fills/Unblend.cpp|s/ >= inside || aroundArea >= kEnoughAround ? / >= inside ? /
one grey outlines the mark|retouch/fills/Unblend.cpp|s/        if (height\[size_t(g)\] > 0)/        if (g == grey)/
pieces of stroke beside the outline never joined|retouch/fills/Unblend.cpp|s/            if (alike\[p\] \&\& !kept\[p\]) {/            if (false) {/
refused parts never opened|retouch/fills/Unblend.cpp|s/        if (own.size() == 1 \&\& own\[0\].size() == parts\[p\].size())/        if (true)/
a part is repaired as strictly as it is found|retouch/fills/Unblend.cpp|s/purpose == Purpose::Finding ? kEdgeLeft : kRepairEdgeLeft/kEdgeLeft/
a part is found as loosely as it is repaired|retouch/fills/Unblend.cpp|s/purpose == Purpose::Finding ? kEdgeLeft : kRepairEdgeLeft/kRepairEdgeLeft/
a brushed part judged as a tight one|retouch/fills/Unblend.cpp|s/    if (purpose == Purpose::Finding || (r != Refusal::Faint/    if (true || (r != Refusal::Faint/
opaque letters under a brush un-blended|retouch/fills/Unblend.cpp|s/    if (opaque \* 8 > carrying)/    if (false)/
small counters taken into the outline|retouch/fills/Unblend.cpp|s/        fill\[r\] = !open(hole, ring);/        fill[r] = 1;/
holes left open whatever their photo|retouch/fills/Unblend.cpp|s/        fill\[r\] = !open(hole, ring);/        fill[r] = 0;/
a rough ground never looked at halved|retouch/fills/Unblend.cpp|s/    if (std::min(w, h) < kLeastHalved)/    if (true)/
halved pieces taken over a smooth ground|retouch/fills/Unblend.cpp|s/ || r == Refusal::Uneven;/ || r == Refusal::Uneven || r == Refusal::Smooth;/
halved pieces taken however faint|retouch/fills/Unblend.cpp|s/if (rough \&\& e.opacity > kHalvedOpacity \&\& agrees)/if (rough \&\& agrees)/
halved pieces joined to the letters found|retouch/fills/Unblend.cpp|s/mask\[size_t(i)\] |= !near\[size_t(i)\];/mask[size_t(i)] = 1;/
un-blending leaves the faint rim beside the strokes|retouch/fills/Unblend.cpp|s/            a = rim(x, y);/            a = 0.f;/
un-blending takes the edge of a stroke whole|retouch/fills/Unblend.cpp|s/            a = edge(x, y);/            a = e.opacity;/
overlay shows one tint|view/PictureView.cpp|s/(told \&\& repairs\[i\] == retouch::kUnblended ? 0x007F7F : 0x7F007F)/0x7F007F/
tint of a large rectangle not told|document/PictureDocument.cpp|s/    letterRepairs_ = std::move(repairs);/    (void)repairs;/
letter mask grown by 2 at clean edges|retouch/fills/LetterFill.cpp|s/(two\[i\] \&\& score\[i\] >= kHaloEvidence)/(two[i])/
soft objects kept in the letter mask|retouch/fills/LetterFill.cpp|s/        if (steps < enough)/        if (false)/
strokes across a soft object dropped|retouch/fills/LetterFill.cpp|s/                mask\[size_t(k)\] = strokes\[size_t(k)\] >= kStrong;/                mask[size_t(k)] = 0;/
letter mask judged by the whole surroundings|retouch/fills/LetterFill.cpp|s/                limits\[size_t(t)\]\[size_t(k)\] = std::clamp(local\[size_t(k)\], 0.7f \* limit\[size_t(k)\], limit\[size_t(k)\]);/                limits[size_t(t)][size_t(k)] = limit[size_t(k)];/
letter fill stops early|retouch/fills/LetterFill.cpp|s/        if (left < 1e-2f)/        if (left < 10.f)/
letter fill stops after its first cycle|retouch/fills/LetterFill.cpp|s/        const float left = cycle > 0 \&\& slowest < 0.5f/        const float left = slowest < 0.5f/
letter fill over-relaxed past convergence|retouch/fills/LetterFill.cpp|s/constexpr float kOverRelax = 1.4f;/constexpr float kOverRelax = 2.2f;/
letter fill writes outside the mask|retouch/fills/LetterFill.cpp|s/    for (const std::vector<int32_t>\& part : Parts(mask, w, R.h(), false)) {/    for (const std::vector<int32_t>\& part : Parts(std::vector<uint8_t>(mask.size(), 1), w, R.h(), false)) {/
letter fill on a shared grid too small|retouch/fills/LetterFill.cpp|s/                g.bounds = u;/                g.bounds = b;/
zoomed click off by the scroll|view/PictureView.cpp|s/    return static_cast<int64_t>(std::floor((double(v) + scroll) \/ scale_));/    return static_cast<int64_t>(std::floor(double(v) \/ scale_));/
reduced copy not updated after a retouch|view/PictureView.cpp|s/    reductions_.Update(Pic(), changed);/    (void)changed;/
batch percent of the last pixel|app/batch/Batch.cpp|s/int64_t(v.number) \* size \/ 100/int64_t(v.number) * (size - 1) \/ 100/
saved state: undone branch not encoded again|document/EditHistory.cpp|s/    std::vector<QRect> rects = origin_.detour;/    std::vector<QRect> rects;/
saved state: dropped steps forgotten|document/EditHistory.h|s/    bool IsChanged() const { return !saved_.detour.empty() || PixelsBetween(saved_.at, next_); }/    bool IsChanged() const { return PixelsBetween(saved_.at, next_); }/
job lock: retouch while a job runs|document/PictureDocument.cpp|s/    if (busy_ || picture_.isNull() || !retouch::OrderAndClamp(sel/    if (picture_.isNull() || !retouch::OrderAndClamp(sel/
job lock: undo while a job runs|document/PictureDocument.cpp|s/    if (busy_ || !(back ? history_.Undo/    if (!(back ? history_.Undo/
history unbounded|document/EditHistory.cpp|s/    while (bytes_ > budget_ \&\& steps_.size() > 1) {/    while (false) {/
folder not synced|platform/AtomicFile.cpp|s/    const int dirFd = ::open(dir_.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);/    const int dirFd = -1;/
marquee and commit disagree|view/PictureView.cpp|s/        live_.X2 = px;/        (void)px;/
handle drags the other edge|view/PictureView.cpp|s/        if (handleEdges_ \& 2) n.X2 = std::clamp(n.X2 + dx, 0, W - 1);/        if (handleEdges_ \& 2) n.X1 = std::clamp(n.X2 + dx, 0, W - 1);/
handle reach not in screen pixels|view/PictureView.cpp|s/float(kHandleReach \* area_->Ratio())/float(kHandleReach * area_->Ratio() \/ scale_ \/ 8)/
moved rectangle leaves the picture|view/PictureView.cpp|s/std::clamp(dx, -n.X1, W - 1 - n.X2)/dx/
brush paints past the rectangle|retouch/fills/LetterFill.cpp|s/x <= std::min(rect.X2, cx + r); ++x)/x <= cx + r; ++x)/
plain click on an edge drags|view/PictureView.cpp|s/std::abs(y - gesturePress_.y())) >= kClickSlop)/std::abs(y - gesturePress_.y())) >= 0)/
mask file placed at the corner of the picture|document/LetterMaskFile.cpp|s/        from = QPoint(rect.X1, rect.Y1);/        from = QPoint(0, 0);/
mask of another size accepted|document/LetterMaskFile.cpp|s/    else if (file.size() != QSize(w, h)) {/    else if (false) {/
'

mkdir -p "$work"
echo "mutants: copying the tree to $src"
# A fresh build for every run: objects of an earlier run's tree could look
# newer than this tree's sources and be kept.
rm -rf "$src" "$orig" "$build"
mkdir -p "$src" "$orig"
(cd "$top" && git ls-files -z --cached --others --exclude-standard | xargs -0 tar -cf - 2>/dev/null) | tar -C "$orig" -xf -
cp -a "$orig/." "$src/"
cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null || exit 2
echo "mutants: building and testing the unchanged tree"
cmake --build "$build" -j"$jobs" >"$work/build.log" 2>&1 || { echo "mutants: the tree does not build"; exit 2; }
(cd "$build" && ctest -j"$jobs" --timeout "$timeout" >"$work/baseline.log" 2>&1) || {
  echo "mutants: the tests fail on the unchanged tree (see $work/baseline.log)"; exit 2; }

rm -f "$work/results"
printf '%s\n' "$faults" | while IFS='|' read -r name file expr; do
  [ -n "$name" ] || continue
  printf '%s\n' "$name" | grep -Eq -- "$pattern" || continue
  cp "$orig/$file" "$src/$file"
  sed -i -e "$expr" "$src/$file"
  if cmp -s "$orig/$file" "$src/$file"; then
    echo "NOT APPLIED  $name ($file)"
    echo broken >>"$work/results"
    continue
  fi
  if ! cmake --build "$build" -j"$jobs" >"$work/build.log" 2>&1; then
    echo "NO BUILD     $name ($file)"
    echo broken >>"$work/results"
  # One test at a time in the order they are declared (the quick unit tests
  # first), so that a killed fault costs only the tests up to the first
  # failure.
  elif (cd "$build" && rm -f Testing/Temporary/CTestCostData.txt &&
        ctest -j1 --timeout "$timeout" --stop-on-failure >"$work/last.log" 2>&1); then
    echo "SURVIVED     $name ($file)"
    echo survived >>"$work/results"
  else
    echo "killed       $name"
    echo killed >>"$work/results"
  fi
  cp "$orig/$file" "$src/$file"
done
# The loop runs in a subshell: count from its record.
[ -f "$work/results" ] || : >"$work/results"
k=$(grep -c '^killed' "$work/results"); s=$(grep -c '^survived' "$work/results"); b=$(grep -c '^broken' "$work/results")
rm -f "$work/results"
echo "mutants: $k killed, $s survived, $b not applied or not built"
[ "$s" -eq 0 ] && [ "$b" -eq 0 ]
