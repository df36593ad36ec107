// The uinput way of clicking against an emulated /dev/uinput (umockdev, run
// under umockdev-wrapper): the mouse it describes and makes, once for all
// clicks, and the events of each click: a left press and release, each its
// own report, and no motion.
#include <gtest/gtest.h>
#include <linux/input.h>
#include <linux/uinput.h>
#include <stdlib.h>
#include <umockdev.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "blink/click.h"
#include "platform/click_choice.h"

namespace {

// What the emulated device was asked, in order.
struct Calls {
  std::mutex lock;
  std::vector<std::string> ioctls;
  std::vector<input_event> events;
};

std::string Describe(unsigned long request, UMockdevIoctlData *arg) {
  guint8 *bytes = nullptr;
  gint length = 0;
  umockdev_ioctl_data_retrieve(arg, &bytes, &length);
  long value = 0;
  std::memcpy(&value, bytes, std::min<size_t>(sizeof value, static_cast<size_t>(length)));
  g_free(bytes);
  switch (request) {
    case UI_SET_EVBIT:
      return "event type " + std::to_string(value);
    case UI_SET_KEYBIT:
      return "key " + std::to_string(value);
    case UI_SET_RELBIT:
      return "axis " + std::to_string(value);
    case UI_DEV_CREATE:
      return "create";
    case UI_DEV_DESTROY:
      return "destroy";
    default:
      break;
  }
  if (request == UI_DEV_SETUP) {
    UMockdevIoctlData *data = umockdev_ioctl_data_resolve(arg, 0, sizeof(uinput_setup), nullptr);
    if (data != nullptr) {
      umockdev_ioctl_data_retrieve(data, &bytes, &length);
      uinput_setup setup;
      std::memcpy(&setup, bytes, sizeof setup);
      g_free(bytes);
      return std::string("setup \"") + setup.name + "\" bus " + std::to_string(setup.id.bustype);
    }
  }
  return "request " + std::to_string(request);
}

gboolean OnIoctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer data) {
  Calls *calls = static_cast<Calls *>(data);
  const std::string call =
      Describe(umockdev_ioctl_client_get_request(client), umockdev_ioctl_client_get_arg(client));
  {
    std::lock_guard<std::mutex> hold(calls->lock);
    calls->ioctls.push_back(call);
  }
  umockdev_ioctl_client_complete(client, 0, 0);
  return TRUE;
}

gboolean OnWrite(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer data) {
  Calls *calls = static_cast<Calls *>(data);
  guint8 *bytes = nullptr;
  gint length = 0;
  umockdev_ioctl_data_retrieve(umockdev_ioctl_client_get_arg(client), &bytes, &length);
  {
    std::lock_guard<std::mutex> hold(calls->lock);
    for (gint at = 0; at + static_cast<gint>(sizeof(input_event)) <= length;
         at += sizeof(input_event)) {
      input_event event;
      std::memcpy(&event, bytes + at, sizeof event);
      calls->events.push_back(event);
    }
  }
  g_free(bytes);
  umockdev_ioctl_client_complete(client, length, 0);
  return TRUE;
}

std::vector<std::string> Events(Calls *calls) {
  std::lock_guard<std::mutex> hold(calls->lock);
  std::vector<std::string> events;
  for (const input_event &e : calls->events) {
    events.push_back(std::to_string(e.type) + " " + std::to_string(e.code) + " " +
                     std::to_string(e.value));
  }
  return events;
}

TEST(Uinput, OneMouseMadeOnceAndEachClickAPressAndAReleaseWithNoMotion) {
  const char *preload = getenv("LD_PRELOAD");
  ASSERT_TRUE(preload != nullptr && std::strstr(preload, "umockdev-preload") != nullptr)
      << "run it under umockdev-wrapper (ctest does)";
  UMockdevTestbed *testbed = umockdev_testbed_new();
  GError *error = nullptr;
  ASSERT_TRUE(umockdev_testbed_add_from_string(testbed,
                                               "P: /devices/virtual/misc/uinput\n"
                                               "N: uinput\n"
                                               "E: DEVNAME=/dev/uinput\n"
                                               "E: SUBSYSTEM=misc\n"
                                               "A: dev=10:223\n",
                                               &error))
      << error->message;
  Calls calls;
  UMockdevIoctlBase *handler = umockdev_ioctl_base_new();
  g_signal_connect(handler, "handle-ioctl", G_CALLBACK(OnIoctl), &calls);
  g_signal_connect(handler, "handle-write", G_CALLBACK(OnWrite), &calls);
  ASSERT_TRUE(umockdev_testbed_attach_ioctl(testbed, "/dev/uinput", handler, &error))
      << error->message;

  // The text console: no display of either kind.
  ASSERT_EQ(unsetenv("DISPLAY"), 0);
  ASSERT_EQ(unsetenv("WAYLAND_DISPLAY"), 0);
  ASSERT_EQ(unsetenv("NICTATE_CLICK"), 0);
  std::string why;
  ASSERT_EQ(ChooseClickBackend(&why), "uinput") << why;
  ClickAtCursor();
  ClickAtCursor();

  const std::string key = std::to_string(EV_KEY), rel = std::to_string(EV_REL),
                    syn = std::to_string(EV_SYN);
  {
    std::lock_guard<std::mutex> hold(calls.lock);
    EXPECT_EQ(calls.ioctls,
              (std::vector<std::string>{
                  "event type " + key, "key " + std::to_string(BTN_LEFT),
                  "key " + std::to_string(BTN_RIGHT), "key " + std::to_string(BTN_MIDDLE),
                  "event type " + rel, "axis " + std::to_string(REL_X),
                  "axis " + std::to_string(REL_Y), "event type " + syn,
                  "setup \"nictate blink mouse\" bus " + std::to_string(BUS_VIRTUAL), "create"}));
  }
  const std::string left = std::to_string(BTN_LEFT);
  const std::vector<std::string> click = {key + " " + left + " 1", syn + " 0 0",
                                          key + " " + left + " 0", syn + " 0 0"};
  std::vector<std::string> twice = click;
  twice.insert(twice.end(), click.begin(), click.end());
  EXPECT_EQ(Events(&calls), twice);

  g_object_unref(handler);
  g_object_unref(testbed);
}

}  // namespace
