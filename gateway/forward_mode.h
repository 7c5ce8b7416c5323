#pragma once

// What a request asks of the gateway.
enum ForwardMode {
  ModeForward = 0,     // relay to the target
  ModeEcho = 1,        // "/~~echo": show the rebuilt request
  ModeInfo = 2,        // "/~~info": show the product page
  ModeTargetTest = 3,  // "/~~target": probe the target with "GET /"
};
