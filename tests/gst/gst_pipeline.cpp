#include "gst_pipeline.h"

#include <gst/app/gstappsink.h>
#include <gtest/gtest.h>

#include <mutex>

#include "gst/kqm_elements.h"
#include "support/digest.h"

namespace tarvel::test {

namespace {

// Long enough for any movie the tests play; a pipeline that stalls fails instead of hanging.
constexpr GstClockTime kPatience = 120 * GST_SECOND;
constexpr GstClockTime kAfterError = 10 * GST_SECOND;

GstFlowReturn KeepSample(GstAppSink* sink, gpointer user) {
  auto* log = static_cast<SinkLog*>(user);
  GstSample* sample = gst_app_sink_pull_sample(sink);
  if (sample == nullptr) return GST_FLOW_EOS;
  GstBuffer* buffer = gst_sample_get_buffer(sample);
  GstMapInfo map;
  if (buffer != nullptr && gst_buffer_map(buffer, &map, GST_MAP_READ)) {
    log->bytes.insert(log->bytes.end(), map.data, map.data + map.size);
    log->sizes.push_back(map.size);
    log->pts.push_back(GST_BUFFER_PTS(buffer));
    log->durations.push_back(GST_BUFFER_DURATION(buffer));
    log->running.push_back(gst_segment_to_running_time(gst_sample_get_segment(sample),
                                                       GST_FORMAT_TIME, GST_BUFFER_PTS(buffer)));
    log->corrupted.push_back(GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_CORRUPTED));
    gst_buffer_unmap(buffer, &map);
  }
  gst_sample_unref(sample);
  return GST_FLOW_OK;
}

// The appsink named `name`: a child of the pipeline, or playbin's "video-sink"/"audio-sink".
void Attach(GstElement* pipeline, const char* name, SinkLog* log) {
  GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), name);
  const std::string property = std::string(name) + "-sink";
  if (sink == nullptr &&
      g_object_class_find_property(G_OBJECT_GET_CLASS(pipeline), property.c_str()) != nullptr)
    g_object_get(pipeline, property.c_str(), &sink, nullptr);
  if (sink == nullptr || !GST_IS_APP_SINK(sink)) {
    if (sink) gst_object_unref(sink);
    return;
  }
  GstAppSinkCallbacks callbacks = {};
  callbacks.new_sample = KeepSample;
  gst_app_sink_set_callbacks(GST_APP_SINK(sink), &callbacks, log, nullptr);
  gst_object_unref(sink);
}

// GStreamer's critical warnings (a function called against its rules), kept for the run they
// happen in; the tests run one at a time in the process.
std::vector<std::string>* g_criticals = nullptr;

void KeepCritical(const gchar* /*domain*/, GLogLevelFlags /*level*/, const gchar* message,
                  gpointer /*user*/) {
  if (g_criticals != nullptr) g_criticals->push_back(message);
}

// Waits for the state change in progress; false when it failed.
bool Settle(GstElement* pipeline) {
  return gst_element_get_state(pipeline, nullptr, nullptr, kPatience) == GST_STATE_CHANGE_SUCCESS;
}

// Elements (in bins too) whose "location" is one of the stand-ins, given the names they stand for.
void SetLocations(GstElement* pipeline, const std::vector<std::string>& names) {
  GstIterator* elements = gst_bin_iterate_recurse(GST_BIN(pipeline));
  GValue item = G_VALUE_INIT;
  while (gst_iterator_next(elements, &item) == GST_ITERATOR_OK) {
    GObject* element = G_OBJECT(g_value_get_object(&item));
    if (g_object_class_find_property(G_OBJECT_GET_CLASS(element), "location") != nullptr) {
      gchar* location = nullptr;
      g_object_get(element, "location", &location, nullptr);
      for (std::size_t i = 0; location != nullptr && i < names.size(); ++i)
        if (std::string(location) == "tarvel-location-" + std::to_string(i))
          g_object_set(element, "location", names[i].c_str(), nullptr);
      g_free(location);
    }
    g_value_reset(&item);
  }
  g_value_unset(&item);
  gst_iterator_free(elements);
}

}  // namespace

GstElement* ParsePipeline(const std::string& description, GError** error) {
  EnsureGstreamer();
  static const std::string kLocation = "location=\"";
  std::string text;
  std::vector<std::string> names;
  std::size_t from = 0;
  for (std::size_t at; (at = description.find(kLocation, from)) != std::string::npos;) {
    const std::size_t start = at + kLocation.size();
    const std::size_t end = description.find('"', start);
    if (end == std::string::npos) break;
    const std::string name = description.substr(start, end - start);
    text += description.substr(from, start - from);
    if (g_utf8_validate(name.data(), static_cast<gssize>(name.size()), nullptr)) {
      text += name;
    } else {
      text += "tarvel-location-" + std::to_string(names.size());
      names.push_back(name);
    }
    from = end;
  }
  text += description.substr(from);
  GstElement* pipeline = gst_parse_launch(text.c_str(), error);
  if (pipeline != nullptr && !names.empty()) SetLocations(pipeline, names);
  return pipeline;
}

void EnsureGstreamer() {
  static std::once_flag once;
  std::call_once(once, [] {
    g_setenv("GST_REGISTRY_1_0", TARVEL_GST_REGISTRY, TRUE);
    g_unsetenv("GST_PLUGIN_PATH");
    g_unsetenv("GST_PLUGIN_PATH_1_0");
    gst_init(nullptr, nullptr);
    ASSERT_TRUE(gst::Plugin_RegisterStatic());
    g_log_set_handler("GStreamer", G_LOG_LEVEL_CRITICAL, KeepCritical, nullptr);
  });
}

PipelineRun RunPipeline(const std::string& description, const RunOptions& options) {
  EnsureGstreamer();
  PipelineRun run;
  g_criticals = &run.criticals;
  GError* error = nullptr;
  GstElement* pipeline = ParsePipeline(description, &error);
  if (error != nullptr) {
    run.errors.push_back(std::string("cannot build the pipeline: ") + error->message);
    g_error_free(error);
    if (pipeline) gst_object_unref(pipeline);
    return run;
  }
  Attach(pipeline, "video", &run.video);
  Attach(pipeline, "audio", &run.audio);
  GstBus* bus = gst_element_get_bus(pipeline);
  if (options.built) options.built(pipeline);

  gst_element_set_state(pipeline, GST_STATE_PAUSED);
  bool ready = Settle(pipeline);
  if (ready) {
    gint64 duration = -1;
    if (gst_element_query_duration(pipeline, GST_FORMAT_TIME, &duration)) run.duration = duration;
    if (gst_element_query_duration(pipeline, GST_FORMAT_DEFAULT, &duration)) run.frames = duration;
    GstQuery* seeking = gst_query_new_seeking(GST_FORMAT_TIME);
    if (gst_element_query(pipeline, seeking)) {
      gboolean seekable = FALSE;
      gst_query_parse_seeking(seeking, nullptr, &seekable, nullptr, nullptr);
      run.seekable = seekable != FALSE;
    }
    gst_query_unref(seeking);
  }
  const auto seek = [&](GstSeekFlags flags, std::int64_t position) {
    GstEvent* event = gst_event_new_seek(
        1.0, options.seek_format, flags, options.seek_type, position,
        options.seek_stop >= 0 ? GST_SEEK_TYPE_SET : GST_SEEK_TYPE_NONE, options.seek_stop);
    run.seek_seqnum = gst_event_get_seqnum(event);
    return gst_element_send_event(pipeline, event) != FALSE;
  };
  // What a player does with a prerolled pipeline: drops what it shows and starts elsewhere.
  for (const std::int64_t position : options.seeks) {
    if (!ready) break;
    if (!seek(options.seek_flags, position)) {
      // The pipeline plays on from where it was, as a player's does.
      run.errors.push_back("the seek was refused");
      break;
    } else {
      ready = Settle(pipeline);
    }
  }
  if (ready && options.prerolled) options.prerolled(pipeline);
  if (ready && options.end_early) gst_element_send_event(pipeline, gst_event_new_eos());
  if (ready) gst_element_set_state(pipeline, GST_STATE_PLAYING);
  const bool failed = !ready;
  int loops = options.loops;

  for (;;) {
    // A pipeline that failed to preroll says why.
    GstMessage* message = gst_bus_timed_pop_filtered(
        bus, failed ? kAfterError : kPatience,
        static_cast<GstMessageType>(GST_MESSAGE_ERROR | GST_MESSAGE_WARNING | GST_MESSAGE_EOS |
                                    GST_MESSAGE_SEGMENT_DONE));
    if (message == nullptr) {
      run.errors.push_back(failed ? "the pipeline did not preroll"
                                  : "the pipeline neither ended nor failed in time");
      break;
    }
    const GstMessageType type = GST_MESSAGE_TYPE(message);
    if (type == GST_MESSAGE_SEGMENT_DONE || type == GST_MESSAGE_EOS)
      run.end_seqnum = gst_message_get_seqnum(message);
    if (type == GST_MESSAGE_SEGMENT_DONE) {
      // Ends a segment that prerolled and played; one that did not preroll goes on failing.
      run.segment_done = !failed;
      gst_message_unref(message);
      if (failed) continue;
      if (loops > 0 && !options.seeks.empty()) {
        // The last pass is not a segment: it ends the streams.
        const auto flags = static_cast<GstSeekFlags>(options.seek_flags & ~GST_SEEK_FLAG_FLUSH &
                                                     ~(--loops == 0 ? GST_SEEK_FLAG_SEGMENT : 0));
        if (seek(flags, options.seeks.back())) continue;
        run.errors.push_back("the loop's seek was refused");
      }
      break;
    }
    if (type == GST_MESSAGE_EOS) {
      run.eos = true;
    } else {
      GError* problem = nullptr;
      if (type == GST_MESSAGE_ERROR)
        gst_message_parse_error(message, &problem, nullptr);
      else
        gst_message_parse_warning(message, &problem, nullptr);
      (type == GST_MESSAGE_ERROR ? run.errors : run.warnings).push_back(problem->message);
      g_error_free(problem);
    }
    gst_message_unref(message);
    if (type == GST_MESSAGE_EOS) break;
    if (type == GST_MESSAGE_ERROR) {
      if (failed) break;
      // Elements end their streams after an error: wait for what was sent before it to arrive.
      message = gst_bus_timed_pop_filtered(bus, kAfterError, GST_MESSAGE_EOS);
      if (message != nullptr) gst_message_unref(message);
      break;
    }
  }
  gst_element_set_state(pipeline, GST_STATE_NULL);
  gst_object_unref(bus);
  gst_object_unref(pipeline);
  g_criticals = nullptr;
  return run;
}

std::string TestFile(const std::string& name) {
  const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
  return testing::TempDir() + "gst-" + test->test_suite_name() + "." + test->name() + "-" + name;
}

std::string FileUri(const std::string& path) {
  gchar* uri = gst_filename_to_uri(path.c_str(), nullptr);
  std::string result = uri != nullptr ? uri : "";
  g_free(uri);
  return result;
}

std::string Sha256Hex(const std::vector<std::uint8_t>& bytes) {
  Sha256 sha;
  sha.Update(bytes.data(), bytes.size());
  return sha.FinalHex();
}

}  // namespace tarvel::test
