# Encoded test clips, made once per build tree by the test_clips target; tests read them from
# PELLION_CLIPS_DIR and never encode anything themselves.
find_program(PELLION_FFMPEG ffmpeg REQUIRED)
set(PELLION_CLIPS_DIR ${CMAKE_BINARY_DIR}/clips)
set(PELLION_CLIPS "")

# pellion_clip(<file> <WxH> <seconds> <format> <encoder options>...)
# Encodes into a temporary name first: an interrupted encode must not look up to date.
macro(pellion_clip file size seconds format)
  add_custom_command(OUTPUT ${PELLION_CLIPS_DIR}/${file}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PELLION_CLIPS_DIR}
    COMMAND ${PELLION_FFMPEG} -hide_banner -loglevel error -y -f lavfi
      -i testsrc2=size=${size}:rate=30 -t ${seconds} -pix_fmt yuv420p ${ARGN}
      -f ${format} ${PELLION_CLIPS_DIR}/${file}.part
    COMMAND ${CMAKE_COMMAND} -E rename ${PELLION_CLIPS_DIR}/${file}.part
      ${PELLION_CLIPS_DIR}/${file}
    # Encoded again when the options here change.
    DEPENDS ${PROJECT_SOURCE_DIR}/cmake/clips.cmake
    COMMENT "Encoding test clip ${file}"
    VERBATIM)
  list(APPEND PELLION_CLIPS ${PELLION_CLIPS_DIR}/${file})
endmacro()

# The slice count is always given, with sliced threads off: under -tune zerolatency x264 encodes
# in sliced threads and makes a slice per thread of the encoding machine, whatever slices= says.
# x265 codes in wavefronts (WPP) unless told otherwise.
set(_x264 -c:v libx264 -tune zerolatency -g 30)
set(_slices1 -x264-params sliced-threads=0:slices=1)
set(_x265 -c:v libx265 -tune zerolatency -x265-params bframes=0:keyint=30:wpp=1:log-level=error)
pellion_clip(h264_640x360.h264 640x360 2 h264 ${_x264} -bf 0 ${_slices1})
pellion_clip(h264_1920x1080.h264 1920x1080 1 h264 ${_x264} -bf 0 ${_slices1})
pellion_clip(h264_642x362.h264 642x362 1 h264 ${_x264} -bf 0 ${_slices1})
pellion_clip(h264_bframes_640x360.h264 640x360 1 h264 ${_x264} -bf 2 ${_slices1})
# Pictures whose slices decode in parallel, of an odd height that does not split evenly.
pellion_clip(h264_slices4_1280x722.h264 1280x722 1 h264 ${_x264} -bf 0
  -x264-params sliced-threads=0:slices=4)
pellion_clip(hevc_640x360.h265 640x360 2 hevc ${_x265})
# Streams whose decoders hold pictures back: x264 with a B-pyramid (High profile), x265 with
# its defaults (B-frames, open GOP: CRA key frames with leading pictures).
pellion_clip(h264_bpyramid_640x360.h264 640x360 2 h264 -c:v libx264 -profile:v high -g 30 -bf 3
  -b_strategy 0 -b-pyramid normal -x264-params slices=1)
pellion_clip(hevc_opengop_640x360.h265 640x360 2 hevc -c:v libx265
  -x265-params keyint=30:log-level=error)
# 10-bit pictures, converted to 8-bit NV12 as the ffmpeg command converts them.
pellion_clip(h264_high10_320x240.h264 320x240 1 h264 ${_x264} -bf 0 ${_slices1}
  -profile:v high10 -pix_fmt yuv420p10le)
pellion_clip(hevc_main10_320x240.h265 320x240 1 hevc ${_x265} -pix_fmt yuv420p10le)
# Damaged in tests: HEVC without wavefronts, and in 4 slices (x265 slices only with WPP).
pellion_clip(hevc_nowpp_320x240.h265 320x240 1 hevc -c:v libx265 -tune zerolatency
  -x265-params bframes=0:keyint=30:wpp=0:log-level=error)
pellion_clip(hevc_slices4_320x240.h265 320x240 1 hevc ${_x265}:slices=4)
# Of the same size in coding tree blocks a quarter as large: the watch learns where pictures end.
pellion_clip(hevc_ctu32_320x240.h265 320x240 1 hevc -c:v libx265 -tune zerolatency
  -x265-params bframes=0:keyint=30:wpp=0:ctu=32:log-level=error)
# With the MD5 of every picture in a suffix SEI, which the decoder can check.
pellion_clip(hevc_hash_320x240.h265 320x240 1 hevc ${_x265}:hash=1)
pellion_clip(hevc_3840x2160.h265 3840x2160 1 hevc ${_x265} -preset ultrafast -frames:v 10)

# Key frames that are not IDR pictures: open GOPs (I pictures with a recovery point SEI, and
# B-frames before them in display order that reference the GOP before), and intra refresh (one
# IDR picture, then P pictures whose refresh waves start with a recovery point SEI).
pellion_clip(h264_opengop_320x240.h264 320x240 3 h264 -c:v libx264 -bf 3
  -x264-params open-gop=1:keyint=30:slices=1)
pellion_clip(h264_intrarefresh_320x240.h264 320x240 3 h264 -c:v libx264 -bf 0
  -x264-params intra-refresh=1:keyint=30:slices=1)

# pellion_gst_clip(<file> <frames> <parser> <encoder and its properties>...)
# Streams of other encoders, from the gst-launch command: a moving test pattern of <frames>
# pictures at 320x240, 30 fps, as an Annex-B byte stream one access unit per buffer.
find_program(PELLION_GST_LAUNCH gst-launch-1.0)
macro(pellion_gst_clip file frames parser)
  if(NOT PELLION_GST_LAUNCH)
    message(FATAL_ERROR "gst-launch-1.0 makes ${file}: bash scripts/deps.sh installs it")
  endif()
  # x265enc writes its parameter sets once, before the first picture: the parser repeats them
  # before every key frame, as a live sender must for a receiver that joins late.
  if(${parser} STREQUAL h265parse)
    set(_parser h265parse config-interval=-1)
    set(_caps video/x-h265,stream-format=byte-stream,alignment=au)
  else()
    set(_parser h264parse)
    set(_caps video/x-h264,stream-format=byte-stream,alignment=au)
  endif()
  add_custom_command(OUTPUT ${PELLION_CLIPS_DIR}/${file}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PELLION_CLIPS_DIR}
    COMMAND ${PELLION_GST_LAUNCH} -q -e videotestsrc num-buffers=${frames} horizontal-speed=3
      ! video/x-raw,format=I420,width=320,height=240,framerate=30/1 ! ${ARGN} ! ${_parser}
      ! ${_caps} ! filesink location=${PELLION_CLIPS_DIR}/${file}.part
    COMMAND ${CMAKE_COMMAND} -E rename ${PELLION_CLIPS_DIR}/${file}.part
      ${PELLION_CLIPS_DIR}/${file}
    DEPENDS ${PROJECT_SOURCE_DIR}/cmake/clips.cmake
    COMMENT "Encoding test clip ${file}"
    VERBATIM)
  list(APPEND PELLION_CLIPS ${PELLION_CLIPS_DIR}/${file})
endmacro()
# Each element's key-frame interval set to 30: their defaults (250 and more) leave a clip of 90
# with one key frame, and a loss would never heal within it.
pellion_gst_clip(gst_openh264_320x240.h264 90 h264parse openh264enc gop-size=30)
# x264enc's defaults: B-frames, closed GOPs of IDR pictures.
pellion_gst_clip(gst_x264_320x240.h264 90 h264parse x264enc key-int-max=30)
pellion_gst_clip(gst_x264_intrarefresh_320x240.h264 90 h264parse x264enc key-int-max=30
  intra-refresh=true)
# x265enc's defaults: B-frames and open GOPs (CRA key frames with leading pictures).
pellion_gst_clip(gst_x265_320x240.h265 90 h265parse x265enc key-int-max=30)

add_custom_target(test_clips ALL DEPENDS ${PELLION_CLIPS})

# Decoded references: what the ffmpeg command makes of each clip as NV12, to compare the
# plug-in's pictures with byte for byte.
# With each, the ffprobe command's display order: per picture, the byte offset of the access
# unit that carried it.
find_program(PELLION_FFPROBE ffprobe REQUIRED)
macro(pellion_reference clip frames)
  add_custom_command(OUTPUT ${PELLION_CLIPS_DIR}/${clip}.order
    COMMAND ${PELLION_FFPROBE} -v error -select_streams v:0 -show_entries frame=pkt_pos
      -of default=nw=1:nk=1 -o ${PELLION_CLIPS_DIR}/${clip}.order.part ${PELLION_CLIPS_DIR}/${clip}
    COMMAND ${CMAKE_COMMAND} -E rename ${PELLION_CLIPS_DIR}/${clip}.order.part
      ${PELLION_CLIPS_DIR}/${clip}.order
    DEPENDS ${PELLION_CLIPS_DIR}/${clip}
    COMMENT "Display order of ${clip}"
    VERBATIM)
  list(APPEND PELLION_REFERENCES ${PELLION_CLIPS_DIR}/${clip}.order)
  add_custom_command(OUTPUT ${PELLION_CLIPS_DIR}/${clip}.nv12
    COMMAND ${PELLION_FFMPEG} -hide_banner -loglevel error -y -i ${PELLION_CLIPS_DIR}/${clip}
      -frames:v ${frames} -pix_fmt nv12 -f rawvideo ${PELLION_CLIPS_DIR}/${clip}.nv12.part
    COMMAND ${CMAKE_COMMAND} -E rename ${PELLION_CLIPS_DIR}/${clip}.nv12.part
      ${PELLION_CLIPS_DIR}/${clip}.nv12
    DEPENDS ${PELLION_CLIPS_DIR}/${clip}
    COMMENT "Decoding reference ${clip}.nv12"
    VERBATIM)
  list(APPEND PELLION_REFERENCES ${PELLION_CLIPS_DIR}/${clip}.nv12)
endmacro()
pellion_reference(h264_1920x1080.h264 30)
pellion_reference(h264_642x362.h264 30)
pellion_reference(h264_slices4_1280x722.h264 30)
pellion_reference(h264_640x360.h264 60)
pellion_reference(hevc_640x360.h265 60)
pellion_reference(h264_bpyramid_640x360.h264 60)
pellion_reference(hevc_opengop_640x360.h265 60)
pellion_reference(hevc_3840x2160.h265 2)
pellion_reference(h264_high10_320x240.h264 30)
pellion_reference(hevc_main10_320x240.h265 30)
pellion_reference(h264_opengop_320x240.h264 90)
pellion_reference(h264_intrarefresh_320x240.h264 90)
pellion_reference(gst_openh264_320x240.h264 90)
pellion_reference(gst_x264_320x240.h264 90)
pellion_reference(gst_x264_intrarefresh_320x240.h264 90)
pellion_reference(gst_x265_320x240.h265 90)
add_custom_target(test_references ALL DEPENDS ${PELLION_REFERENCES})
# One target makes the clips: two making the same file at once would race.
add_dependencies(test_references test_clips)
