#include "demo_scene.hpp"

#include <numbers>
#include <utility>

#include "orv/io.hpp"

namespace orv::demo {

namespace {

constexpr double kPi = std::numbers::pi;

// The first observer starts at (0, 0, 0, 1), a vertex of the 600-cell, looking down -z turned
// kStartYaw to the right and kStartPitch up, and moves off the vertex by kStartRight and then
// kStartForward radians. Each frame of the flight then moves it by kStepForward and kStepRight and
// turns it by kStepYaw and kStepRoll.
constexpr double kStartYaw = kPi / 6.0;
constexpr double kStartPitch = kPi / 9.0;
constexpr double kStartRight = 0.15;
constexpr double kStartForward = 0.1;
constexpr double kStepForward = 0.004;
constexpr double kStepRight = 0.006;
constexpr double kStepYaw = -0.002;
constexpr double kStepRoll = 0.001;

}  // namespace

frame::Scene makeScene(std::size_t star_count, std::uint64_t seed) {
  frame::Scene scene;
  scene.figure = io::cell600();
  io::StarField stars = io::randomStars(star_count, seed);
  scene.points.positions = std::move(stars.positions);
  scene.brightness = std::move(stars.brightness);
  return scene;
}

Observer startObserver() {
  Observer observer;
  observer.yaw(kStartYaw);
  observer.pitch(kStartPitch);
  observer.moveRight(kStartRight);
  observer.moveForward(kStartForward);
  return observer;
}

void flyStep(Observer& observer) {
  observer.moveForward(kStepForward);
  observer.moveRight(kStepRight);
  observer.yaw(kStepYaw);
  observer.roll(kStepRoll);
}

}  // namespace orv::demo
