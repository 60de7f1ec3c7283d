// Reference counting, the class registry and the delivery of notifications.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "velp2p/VELClassRegistry.h"
#include "velp2p/VELP2PNotifications.h"

namespace {

std::vector<std::string>& Calls() {
  static std::vector<std::string> calls;
  return calls;
}

class Listener : public VELBaseUnknown {
 public:
  explicit Listener(std::string name, bool* destroyed = nullptr)
      : _name(std::move(name)), _destroyed(destroyed) {}
  ~Listener() override {
    if (_destroyed)
      *_destroyed = true;
  }
  void Heard(const char* event, VELBaseUnknown*, VELNotification*, void*, VELCallback*) {
    Calls().push_back(_name + ":" + event);
    if (_onCall)
      _onCall();
  }
  std::function<void()> _onCall;

 private:
  std::string _name;
  bool* _destroyed;
};

class Publisher : public VELBaseUnknown {};

// Dispatches one notification of class N from publisher and releases it.
template <class N, class... A>
int Fire(VELBaseUnknown* publisher, A... args) {
  N* notification = new N(args...);
  int called = DispatchCallbacks(publisher, notification);
  notification->Release();
  return called;
}

class Notifications : public ::testing::Test {
 protected:
  void SetUp() override { Calls().clear(); }
  void TearDown() override { _publisher->Release(); }
  Publisher* _publisher = new Publisher();
  VELUnicodeString _name{"n"};
};

}  // namespace

TEST(ObjectModel, CreatesOnlyRegisteredClassesAndAQueryTakesAReference) {
  void* object = reinterpret_cast<void*>(1);
  EXPECT_EQ(VELCreateClassInstance("VELP2PCoreService", nullptr, 0, IID_VELIUnknown, &object),
            VEL_E_CLASSNOTREG);
  EXPECT_EQ(object, nullptr);
  bool destroyed = false;
  auto* created = new Listener("made", &destroyed);
  void* itf = nullptr;
  EXPECT_EQ(created->QueryInterface(IID_VELIUnknown, &itf), VEL_S_OK);
  EXPECT_EQ(created->Release(), 1u);
  const VELIID other = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
  EXPECT_EQ(created->QueryInterface(other, &itf), VEL_E_NOINTERFACE);
  EXPECT_EQ(itf, nullptr);
  EXPECT_FALSE(destroyed);
  created->Release();
  EXPECT_TRUE(destroyed);
}

TEST_F(Notifications, SubscriptionsFollowTheRegisteredClassTree) {
  Listener all("all"), groups("groups"), modif("modif");
  AddCallback(&all, _publisher, "VELP2PNotif", &Listener::Heard, nullptr);
  AddCallback(&groups, _publisher, "VELP2PGroupModifNotif", &Listener::Heard, nullptr);
  AddCallback(&modif, _publisher, "VELP2PPeerModifNotif", &Listener::Heard, nullptr);
  VELListValVELUnicodeString subGroups;
  Fire<VELP2PSubGroupModifNotif>(_publisher, &_name, &subGroups, &_name);
  Fire<VELP2PPeerCreatNotif>(_publisher, &_name);
  EXPECT_EQ(Calls(),
            (std::vector<std::string>{"all:VELP2PSubGroupModifNotif", "groups:VELP2PSubGroupModifNotif",
                                      "all:VELP2PPeerCreatNotif"}));
  // Another publisher's notifications reach nobody here.
  Publisher other;
  EXPECT_EQ(Fire<VELP2PPeerCreatNotif>(&other, &_name), 0);
  for (Listener* listener : {&all, &groups, &modif})
    RemoveSubscriber(listener);
}

TEST_F(Notifications, DestroyedSubscriberIsNeverCalledEvenWhenReleasedDuringItsOwnCall) {
  bool goneDestroyed = false, selfDestroyed = false;
  auto* gone = new Listener("gone", &goneDestroyed);
  auto* self = new Listener("self", &selfDestroyed);
  self->_onCall = [self, &selfDestroyed] {
    self->Release();
    EXPECT_FALSE(selfDestroyed);  // kept alive until its call returns
  };
  AddCallback(gone, _publisher, "VELP2PNotif", &Listener::Heard, nullptr);
  AddCallback(self, _publisher, "VELP2PNotif", &Listener::Heard, nullptr);
  gone->Release();
  ASSERT_TRUE(goneDestroyed);
  EXPECT_EQ(Fire<VELP2PInitPeerNotif>(_publisher, &_name), 1);
  EXPECT_TRUE(selfDestroyed);
  EXPECT_EQ(Fire<VELP2PInitPeerNotif>(_publisher, &_name), 0);
  EXPECT_EQ(Calls(), std::vector<std::string>{"self:VELP2PInitPeerNotif"});
}

TEST_F(Notifications, SubscriptionsChangedDuringADispatch) {
  Listener first("first"), second("second"), late("late");
  VELCallback* secondCallback = nullptr;
  first._onCall = [&] {
    RemoveCallback(secondCallback);
    AddCallback(&late, _publisher, "VELP2PNotif", &Listener::Heard, nullptr);
  };
  AddCallback(&first, _publisher, "VELP2PNotif", &Listener::Heard, nullptr);
  secondCallback = AddCallback(&second, _publisher, "VELP2PNotif", &Listener::Heard, nullptr);
  Fire<VELP2PInitPeerNotif>(_publisher, &_name);
  EXPECT_EQ(Calls(), (std::vector<std::string>{"first:VELP2PInitPeerNotif"}));
  first._onCall = nullptr;
  Calls().clear();
  Fire<VELP2PInitPeerNotif>(_publisher, &_name);
  EXPECT_EQ(Calls(), (std::vector<std::string>{"first:VELP2PInitPeerNotif", "late:VELP2PInitPeerNotif"}));
  RemoveSubscriber(&first);
  RemoveSubscriber(&late);
}

TEST_F(Notifications, DestroyedPublisherDropsItsSubscriptions) {
  Listener listener("l");
  auto* publisher = new Publisher();
  AddCallback(&listener, publisher, "VELP2PNotif", &Listener::Heard, nullptr);
  publisher->Release();
  // A new object at the same address must not inherit the old subscriptions.
  auto* again = new Publisher();
  EXPECT_EQ(Fire<VELP2PInitPeerNotif>(again, &_name), 0);
  again->Release();
}
