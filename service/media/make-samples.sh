#!/bin/sh
# Rebuilds the sample clips served under /media/ from GStreamer's test
# sources, so the project ships nothing it did not make itself.
# Needs gst-launch-1.0 with the "base" and "good" plugin sets
# (Debian: gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good).
# The clips are kept small (a few seconds, tens of KB) so they can live in git.
set -eu
cd "$(dirname "$0")"

SECONDS_LONG=3
FPS=15
FRAMES=$((SECONDS_LONG * FPS))
# 44100 Hz audio in 1024-sample buffers: enough buffers to cover the clip.
AUDIO_BUFFERS=$((SECONDS_LONG * 44100 / 1024 + 1))

VIDEO="videotestsrc num-buffers=$FRAMES pattern=smpte horizontal-speed=4 ! video/x-raw,width=320,height=180,framerate=$FPS/1 ! videoconvert"
AUDIO="audiotestsrc num-buffers=$AUDIO_BUFFERS samplesperbuffer=1024 wave=sine freq=440 volume=0.3 ! audio/x-raw,rate=44100,channels=1 ! audioconvert"

# WebM: VP8 video and Vorbis audio.
eval gst-launch-1.0 -q \
  webmmux name=mux ! filesink location=sample.webm \
  $VIDEO ! vp8enc deadline=1 target-bitrate=64000 keyframe-max-dist=30 ! queue ! mux. \
  $AUDIO ! vorbisenc quality=0.0 ! queue ! mux.

# Ogg: Theora video and Vorbis audio.
eval gst-launch-1.0 -q \
  oggmux name=mux ! filesink location=sample.ogv \
  $VIDEO ! theoraenc bitrate=64 keyframe-force=30 ! queue ! mux. \
  $AUDIO ! vorbisenc quality=0.0 ! queue ! mux.

ls -l sample.webm sample.ogv
