int TgResourceSampleMarker;
