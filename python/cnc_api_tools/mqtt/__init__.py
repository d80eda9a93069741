"""`cnc-api mqtt`: machines published to an MQTT broker, as a JSON topic tree or as Sparkplug B."""
